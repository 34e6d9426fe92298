#include "textfile/windows/identity.h"

#include <cstring>

#include "textfile/windows/failures.h"
#include "textfile/windows/handle.h"
#include "textfile/windows/paths.h"
#include "textfile/windows/system_quirks.h"

namespace textfile::windows {

namespace {

// ERROR_STOPPED_ON_SYMLINK, which MinGW's headers lack: what the system itself reports when an
// open stops at a link.
constexpr DWORD kStoppedOnLink = 681;
// FILETIME counts 100-nanosecond steps from 1601; an incarnation counts nanoseconds from 1970,
// as on Linux.
constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000;

}  // namespace

// The file's birth, which its index alone may not tell where a file system reuses indexes.
DWORD add_incarnation(HANDLE handle, FileIdentity& identity) {
  FILE_BASIC_INFO times;
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times)) {
    return ::GetLastError();
  }
  identity.incarnation =
      creation_time_is_birth()
          ? (static_cast<std::uint64_t>(times.CreationTime.QuadPart) - kFileTimeOf1970) * 100
          : 0;
  return NO_ERROR;
}

// Every identity is made here, so that any two handles of one file give equal ones: the
// 128-bit index (on ReFS the only unique one) where the file system gives one, else the 64-bit
// one; a file system gives the same kind for all its files. The volume is its 32-bit serial
// either way (the low half of the 64-bit one), as GetFileInformationByHandle gives it and as
// undo records of earlier versions hold it.
DWORD identity_of_handle(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO id;
  static const FILE_ID_128 kNoIndex{};
  if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    // An index of nothing but zeros is none at all: every file would be the same.
    if (std::memcmp(&id.FileId, &kNoIndex, sizeof kNoIndex) != 0) {
      identity.volume = static_cast<std::uint32_t>(id.VolumeSerialNumber);
      std::memcpy(&identity.index, id.FileId.Identifier, sizeof identity.index);
      std::memcpy(&identity.index_high, id.FileId.Identifier + 8, sizeof identity.index_high);
      return add_incarnation(handle, identity);
    }
  } else {
    // Not asked for before Windows 8, and not answered by some file systems.
    DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION) {
      return error;
    }
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(handle, &information)) return ::GetLastError();
  identity.volume = information.dwVolumeSerialNumber;
  identity.index =
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  identity.index_high = 0;
  return add_incarnation(handle, identity);
}

FileIdentity identity_or_throw(HANDLE handle, const std::string& path, const char* what_failed) {
  FileIdentity identity;
  DWORD error = identity_of_handle(handle, identity);
  if (error != NO_ERROR) throw windows_failure(what_failed, path, error);
  return identity;
}

FileState state_of(HANDLE handle, const std::string& path, const char* what_failed) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
    throw last_failure(what_failed, path);
  }
  return FileState{
      basic.CreationTime.QuadPart, basic.LastWriteTime.QuadPart,
      basic.ChangeTime.QuadPart,   static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
      basic.FileAttributes,        standard.DeletePending != FALSE};
}

// Keeps only files on disk: never a device or a pipe, and with `refuse_links`, never a link that
// FILE_FLAG_OPEN_REPARSE_POINT opened as itself. (A folder never gets this far: CreateFileW
// opens one only when asked with FILE_FLAG_BACKUP_SEMANTICS.) Closes the handle when it fails.
void insist_on_ordinary_file(HANDLE& handle, const std::string& path, const char* what_failed,
                             bool refuse_links) {
  DWORD error = NO_ERROR;
  BY_HANDLE_FILE_INFORMATION information;
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    error = ERROR_NOT_SUPPORTED;
  } else if (!::GetFileInformationByHandle(handle, &information)) {
    error = ::GetLastError();
  } else if (refuse_links && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = kStoppedOnLink;
  }
  if (error == NO_ERROR) return;
  close_handle(handle);
  throw windows_failure(what_failed, path, error);
}

// The identity of that file, a link itself where the path ends in one. Attributes only, so
// that the share mode of the input held open does not stand in the way.
FileIdentity identity_of_name(const std::string& path) {
  ScopedHandle name(open_name_itself(system_path(path), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
  if (!name.valid()) throw last_failure("cannot delete", path);
  return identity_or_throw(name.get(), path, "cannot delete");
}

// The identity of what `path` names, links followed; the error code when there is none.
// Opening for attributes only does not meet the share modes of other opens.
DWORD find_identity(const std::string& path, FileIdentity& identity) {
  ScopedHandle handle(::CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return ::GetLastError();
  return identity_of_handle(handle.get(), identity);
}

// The security descriptor of an open file, its owner and its list of who may do what, freed
// when it goes.
// The identity of the file `path` leads to, or nothing where there is none.
std::optional<FileIdentity> identity_following_links(const std::string& path) {
  FileIdentity identity;
  DWORD error = find_identity(path, identity);
  if (error == NO_ERROR) return identity;
  if (is_missing(error)) return std::nullopt;
  throw windows_failure("cannot look up", path, error);
}

void delete_if_named(const std::string& path, const FileIdentity& file) {
  ScopedHandle handle(open_name_itself(system_path(path), DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE));
  if (!handle.valid()) {
    DWORD error = ::GetLastError();
    if (is_missing(error)) return;
    throw windows_failure("cannot delete", path, error);
  }
  FileIdentity named;
  DWORD error = identity_of_handle(handle.get(), named);
  if (error != NO_ERROR) throw windows_failure("cannot delete", path, error);
  if (named.volume != file.volume || named.index != file.index ||
      named.index_high != file.index_high) {
    return;
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!::SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    throw last_failure("cannot delete", path);
  }
}

}  // namespace textfile::windows
