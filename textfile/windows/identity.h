#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "textfile/file_system.h"

// Which file a handle or a path is, and what it is like now.
namespace textfile::windows {

// The identity of the open file; a system error code, or NO_ERROR.
DWORD identity_of_handle(HANDLE handle, FileIdentity& identity);
FileIdentity identity_or_throw(HANDLE handle, const std::string& path, const char* what_failed);

// What the deletion of an input compares: the file as it stands against the file as opened.
struct FileState {
  std::int64_t creation = 0;  // the identity's incarnation: set again, the file is another
  std::int64_t last_write = 0;
  std::int64_t change = 0;
  std::uint64_t size = 0;
  DWORD attributes = 0;
  bool delete_pending = false;
};

FileState state_of(HANDLE handle, const std::string& path, const char* what_failed);

// Keeps only files on disk: never a device or a pipe, and with `refuse_links`, never a link that
// FILE_FLAG_OPEN_REPARSE_POINT opened as itself. Closes the handle when it fails.
void insist_on_ordinary_file(HANDLE& handle, const std::string& path, const char* what_failed,
                             bool refuse_links);

// The identity of the link at `path` itself, or of the file where it is none.
FileIdentity identity_of_name(const std::string& path);
// The identity of the file `path` leads to; a system error code, or NO_ERROR.
DWORD find_identity(const std::string& path, FileIdentity& identity);
// The identity of the file `path` leads to, or nothing where there is none.
std::optional<FileIdentity> identity_following_links(const std::string& path);

// Deletes the name `path` itself when it names the file `file` (its volume and index), through
// a handle that shares no renaming meanwhile; a file of any other identity there stays, and a
// missing name is nothing to do.
void delete_if_named(const std::string& path, const FileIdentity& file);

}  // namespace textfile::windows
