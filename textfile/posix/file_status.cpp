#include "textfile/posix/file_status.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace textfile::posix {

FileFailure posix_failure(const std::string& what_failed, const std::string& path, int error) {
  return FileFailure(what_failed, path, error, std::strerror(error));
}

// What the layer reads of a file: the open file `fd` itself when `name` is empty, else `name`
// taken from the folder `fd` (AT_FDCWD: the current folder). Returns 0 or the error number.
int status_of(int fd, const std::string& name, int flags, struct statx& status) {
  flags |= name.empty() ? AT_EMPTY_PATH : 0;
  if (::statx(fd, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &status) == 0) return 0;
  return errno;
}

// The input's size and times as its file system has them, for comparing them later. A FUSE or
// network file system may otherwise answer from what the kernel keeps of the file, which after a
// change this run made (the pin's new name) has a change time of its own making, not the file
// system's: the next answer from the file system then differs, though nobody touched the file.
int stamps_of(int fd, struct statx& status) {
  int error = status_of(fd, "", AT_STATX_FORCE_SYNC, status);
  // A kernel older than statx (Linux 4.11): the C library answers from fstat, which cannot be
  // told to ask the file system again, and refuses to be asked.
  if (error == EINVAL) error = status_of(fd, "", 0, status);
  return error;
}

int named_status_of(int folder, const std::string& name, int flags, struct statx& status) {
  struct statx folder_status;
  // A kernel older than statx cannot be asked afresh; what it answers is all there is.
  if (status_of(folder, "", AT_STATX_FORCE_SYNC, folder_status) == EINVAL) {
    return status_of(folder, name, flags, status);
  }
  return status_of(folder, name, flags | AT_STATX_FORCE_SYNC, status);
}

bool same_file(const struct statx& status, const FileIdentity& identity) {
  return (identity.volume == kSharedVolume ||
          makedev(status.stx_dev_major, status.stx_dev_minor) == identity.volume) &&
         status.stx_ino == identity.index;
}

bool same_file(const struct statx& a, const struct statx& b) {
  return a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor &&
         a.stx_ino == b.stx_ino;
}

namespace {

// The magic number of the file system that holds the open file, or 0 where it cannot be told.
unsigned long file_system_type(int fd) {
  struct statfs system;
  if (::fstatfs(fd, &system) != 0) return 0;
  return static_cast<unsigned long>(system.f_type);
}

}  // namespace

// File systems that hosts share over a network and whose file numbers the server gives: the
// same file has the same number on every host. (A FUSE file system may number files itself.)
bool on_shared_storage(int fd) {
  switch (file_system_type(fd)) {
    case 0x6969:      // NFS
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2 and 3
    case 0x517B:      // SMB
    case 0x00C36400:  // Ceph
    case 0x6B414653:  // AFS
    case 0x5346414F:  // AFS (OpenAFS)
    case 0x01021997:  // 9P
    case 0x7461636F:  // OCFS2
    case 0x01161970:  // GFS2
    case 0x0BD00BD0:  // Lustre
      return true;
    default:
      return false;
  }
}

// File systems that hold their files in memory alone, with no disk to write back to.
bool held_in_memory(int fd) {
  switch (file_system_type(fd)) {
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
      return true;
    default:
      return false;
  }
}

// The birth time where the file system records one; else the generation number the file system
// gives the file, read through `fd` where it was opened to read. On shared storage, neither.
FileIdentity identity_from(const struct statx& status, int fd) {
  FileIdentity identity;
  identity.index = status.stx_ino;
  if (on_shared_storage(fd)) {
    // Each host keeps the birth time it first saw of a number: a folder another host removed
    // and made anew at that number keeps the old one here (SMB). No birth is told there.
    identity.volume = kSharedVolume;
    return identity;
  }
  identity.volume = makedev(status.stx_dev_major, status.stx_dev_minor);
  if (status.stx_mask & STATX_BTIME) {
    identity.incarnation = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 1000000000u +
                           status.stx_btime.tv_nsec;
  } else {
    long generation = 0;  // some file systems fill only an int's worth of it
    if ((::fcntl(fd, F_GETFL) & O_PATH) == 0 && ::ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
      identity.incarnation = static_cast<std::uint32_t>(generation);
    }
  }
  return identity;
}

FileIdentity identity_of_open(int fd, const std::string& path, const char* what_failed) {
  struct statx status;
  if (int error = status_of(fd, "", 0, status)) throw posix_failure(what_failed, path, error);
  return identity_from(status, fd);
}

}  // namespace textfile::posix
