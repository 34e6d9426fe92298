#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"

// What the POSIX layer reads of files, and how it names their failures.
namespace textfile::posix {

// The failure `error` (an errno value), with the system's text for it.
FileFailure posix_failure(const std::string& what_failed, const std::string& path, int error);

// What the layer reads of a file: the open file `fd` itself when `name` is empty, else `name`
// taken from the folder `fd` (AT_FDCWD: the current folder). Returns 0 or the error number.
int status_of(int fd, const std::string& name, int flags, struct statx& status);

// What `name` in the open folder `folder` names now, as the file system has it (0 or the error
// number). The folder's own attributes are fetched afresh first: over NFS a host otherwise
// takes a name from what it remembers of the folder, for as long as it trusts that (half a
// minute), and a name another host removed or replaced since would still lead to the old file.
int named_status_of(int folder, const std::string& name, int flags, struct statx& status);

// The input's size and times as its file system has them, for comparing them later; 0 or the
// error number.
int stamps_of(int fd, struct statx& status);

// True when `status` is of the file `identity` names (its volume and index; the index alone on
// shared storage).
bool same_file(const struct statx& status, const FileIdentity& identity);
// True when both are of one file, as this host sees them.
bool same_file(const struct statx& a, const struct statx& b);

// True for a file on storage that hosts share over a network (NFS, SMB and the like), whose
// file numbers the server gives.
bool on_shared_storage(int fd);

// True for a file on a file system that holds its files in memory alone (tmpfs, ramfs).
bool held_in_memory(int fd);

// The file's identity; `fd` is an open descriptor of it (O_PATH will do), which tells its file
// system, and through which its birth is read where the status has none and `fd` can read.
FileIdentity identity_from(const struct statx& status, int fd);
FileIdentity identity_of_open(int fd, const std::string& path, const char* what_failed);

}  // namespace textfile::posix
