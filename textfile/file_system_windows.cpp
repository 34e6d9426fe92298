#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"
#include "textfile/windows_text.h"

namespace textfile {
namespace {

using windows::to_wide;

// How long a run waits between two tries for an output that another run has locked.
constexpr DWORD kLockRetryMilliseconds = 50;
// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t kLargestTransfer = 1u << 30;
// ERROR_STOPPED_ON_SYMLINK, which MinGW's headers lack: what the system itself reports when an
// open stops at a link.
constexpr DWORD kStoppedOnLink = 681;
// STATUS_DELETE_PENDING: what lies under "access denied" when a file is marked for deletion.
constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);
// FILETIME counts 100-nanosecond steps from 1601; an incarnation counts nanoseconds from 1970,
// as on Linux.
constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000;

FileFailure windows_failure(const std::string& what_failed, const std::string& path, DWORD error) {
  return FileFailure(what_failed, path, static_cast<int>(error), windows::system_error_text(error));
}

FileFailure last_failure(const std::string& what_failed, const std::string& path) {
  return windows_failure(what_failed, path, ::GetLastError());
}

FileFailure another_file(const std::string& path) {
  return FileFailure("cannot delete", path, ERROR_FILE_INVALID,
                     "the path names another file than the one converted");
}

FileFailure untrusted(const std::string& path, const char* why) {
  return FileFailure("cannot trust", path, ERROR_ACCESS_DENIED, why);
}

bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void close_handle(HANDLE& handle) {
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// Closes the handle it holds when it goes.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { close_handle(handle_); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// A function of ntdll found by name, or null: for the few things that the documented functions
// do not tell.
using AnyFunction = void (*)();
AnyFunction ntdll_function(const char* name) {
  return reinterpret_cast<AnyFunction>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name));
}

// Whether the open that just failed with "access denied" met a file already marked for
// deletion, which Windows refuses to open again until its last handle closes.
bool met_file_being_deleted() {
  using LastStatus = LONG(WINAPI*)();
  static const auto last_status =
      reinterpret_cast<LastStatus>(ntdll_function("RtlGetLastNtStatus"));
  return last_status != nullptr && last_status() == kDeletePending;
}

// Wine shows every file's last write time as its creation time, which moves with each write:
// there the volume and the index alone tell files apart.
bool creation_time_is_birth() {
  static const bool is_birth = ntdll_function("wine_get_version") == nullptr;
  return is_birth;
}

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

// What the deletion of an input compares: the file as it stands against the file as opened.
struct FileState {
  std::int64_t creation = 0;  // the identity's incarnation: set again, the file is another
  std::int64_t last_write = 0;
  std::int64_t change = 0;
  std::uint64_t size = 0;
  DWORD attributes = 0;
  bool delete_pending = false;
};

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

std::wstring full_path(const std::wstring& path) {
  DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length < size) {
      full.resize(length);
      return full;
    }
    size = length;  // the current folder changed in between
  }
}

// A full path as the system takes it verbatim, whatever its length: after `prefix`, "\\?\" for
// the functions of Windows, "\??\" for those of its kernel. A device path (\\.\) names the
// same thing verbatim, as \\server\share does as UNC\server\share.
std::wstring verbatim_path(const std::wstring& full, const wchar_t* prefix) {
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
    return prefix + full.substr(4);
  }
  if (full.compare(0, 2, L"\\\\") == 0) return prefix + (L"UNC\\" + full.substr(2));
  return prefix + full;
}

// The path to hand to the system for `path`. Windows takes at most MAX_PATH - 1 characters in a
// path (more only where the machine allows long paths and the manifest asks for them), except
// in the verbatim form, which it passes to the file system untouched. A longer path is made
// absolute, as the system itself would make it, and handed over in that form: it names the same
// file. Shorter paths and verbatim ones go as they are, and so does one the system cannot make
// absolute, for the system to refuse with its own error. The rules and the report keep the
// path as the user gave it: only what the system is given changes.
std::wstring system_path(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  // A short relative path is long too when the current folder is.
  std::wstring full = full_path(path);
  if (full.empty() || (path.size() < MAX_PATH && full.size() < MAX_PATH)) return path;
  return verbatim_path(full, L"\\\\?\\");
}

std::wstring system_path(const std::string& path) { return system_path(to_wide(path)); }

// The path of an open file or folder as the system itself names it, links resolved and short
// names spelled out; empty when it cannot tell.
std::wstring final_path_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                               FILE_NAME_NORMALIZED);
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
}

bool same_path(const std::wstring& one, const std::wstring& other) {
  return ::CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// The last component of `path` as the file itself, not what it leads to.
HANDLE open_name_itself(const std::wstring& path, DWORD access, DWORD share) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

struct Security {
  PSID owner = nullptr;
  PACL access = nullptr;
  std::unique_ptr<void, decltype(&::LocalFree)> descriptor{nullptr, ::LocalFree};

  DWORD read(HANDLE handle) {
    PSECURITY_DESCRIPTOR found = nullptr;
    DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &access, nullptr, &found);
    descriptor.reset(found);
    return error;
  }
};

// The accounts whose files this process makes its own: its user, and the owner it gives new
// files (the Administrators group for an elevated administrator).
bool is_own_account(PSID owner) {
  HANDLE token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  ScopedHandle closes(token);
  alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  alignas(8) unsigned char new_owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  return (::GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
          ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) ||
         (::GetTokenInformation(token, TokenOwner, new_owner, sizeof new_owner, &size) &&
          ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(new_owner)->Owner));
}

// Whether the list lets every user, or every user of the machine, change the file's content
// or its security. No list at all lets anyone do anything.
bool is_writable_by_others(PACL access) {
  if (access == nullptr) return true;
  constexpr ACCESS_MASK kChanges =
      FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (WELL_KNOWN_SID_TYPE others : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid}) {
    alignas(8) unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!::CreateWellKnownSid(others, nullptr, sid, &size)) return true;
    for (DWORD i = 0; i < access->AceCount; ++i) {
      ACE_HEADER* entry = nullptr;
      if (!::GetAce(access, i, reinterpret_cast<void**>(&entry))) return true;
      if (entry->AceType != ACCESS_ALLOWED_ACE_TYPE || (entry->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
      if ((allowed->Mask & kChanges) && ::EqualSid(&allowed->SidStart, sid)) return true;
    }
  }
  return false;
}

class WindowsInput : public ReadableFile {
 public:
  WindowsInput(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~WindowsInput() override { close(); }

  std::size_t read(char* into, std::size_t capacity) override {
    DWORD got = 0;
    if (!::ReadFile(handle_, into, static_cast<DWORD>(std::min(capacity, kLargestTransfer)), &got,
                    nullptr)) {
      throw last_failure("cannot read", path_);
    }
    bytes_read_ += got;
    return got;
  }

  FileIdentity identity() const override {
    return identity_or_throw(handle_, path_, "cannot read");
  }

  std::uint64_t size() const override { return opened_.size; }
  // In the system's own units (100 nanoseconds): only ever compared with itself.
  std::uint64_t modified() const override { return static_cast<std::uint64_t>(opened_.last_write); }

  // Nothing writes the input while it is held, but attributes and times stay open to anyone:
  // a file that is not what was read is not deleted.
  void throw_if_changed() override {
    FileIdentity named;
    DWORD error = find_identity(path_, named);
    if (error != NO_ERROR) throw windows_failure("cannot delete", path_, error);
    if (named != identity()) throw another_file(path_);
    FileState now = state_of(handle_, path_, "cannot delete");
    if (now.size != bytes_read_ || now.creation != opened_.creation ||
        now.last_write != opened_.last_write || now.change != opened_.change) {
      throw FileFailure("cannot convert", path_, ERROR_FILE_INVALID,
                        "changed while being converted");
    }
  }

  // A hard link beside the input. Linking asks for no access that the input's sharing refuses.
  bool pin(const std::string& name) override {
    std::string pin = path_.substr(0, last_component_start(path_)) + name;
    if (!::CreateHardLinkW(system_path(pin).c_str(), system_path(path_).c_str(), nullptr)) {
      DWORD error = ::GetLastError();
      // No second names on this file system, or not here, or not for this user.
      if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
          error == ERROR_ACCESS_DENIED || error == ERROR_TOO_MANY_LINKS ||
          error == ERROR_NOT_SAME_DEVICE) {
        return false;
      }
      throw windows_failure("cannot pin", pin, error);
    }
    FileIdentity pinned;
    if (find_identity(pin, pinned) != NO_ERROR || pinned != identity()) {
      ::DeleteFileW(system_path(pin).c_str());
      return false;
    }
    // The new name is the file's only change since it was read: its change time moved.
    FileState now = state_of(handle_, path_, "cannot pin");
    if (now.size == opened_.size && now.last_write == opened_.last_write) {
      opened_.change = now.change;
    }
    return true;
  }

  void remove(const std::string& aside_name) override;
  void close() override { close_handle(handle_); }

  HANDLE handle() const { return handle_; }
  // The file as it was opened, which its deletion compares it with.
  void remember_opened(const FileState& opened) { opened_ = opened; }
  const FileState& opened() const { return opened_; }

 private:
  HANDLE handle_;
  std::string path_;
  FileState opened_;
  std::uint64_t bytes_read_ = 0;
};

class WindowsOutput : public WritableFile {
 public:
  WindowsOutput(HANDLE handle, std::string path, bool created)
      : handle_(handle), path_(std::move(path)), created_(created) {}
  ~WindowsOutput() override {
    try {
      close();
    } catch (const FileFailure&) {
    }
  }

  void write(const char* bytes, std::size_t size) override {
    while (size > 0) {
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes, static_cast<DWORD>(std::min(size, kLargestTransfer)),
                       &written, nullptr)) {
        throw last_failure("cannot write", path_);
      }
      bytes += written;
      size -= written;
    }
  }

  std::uint64_t size() const override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) throw last_failure("cannot read the size of", path_);
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  void truncate(std::uint64_t length) override {
    // The file position goes to the new end with it: later writes continue there.
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle_)) {
      throw last_failure("cannot truncate", path_);
    }
  }

  void sync() override {
    if (!::FlushFileBuffers(handle_)) throw last_failure("cannot sync", path_);
  }

  FileIdentity identity() const override {
    return identity_or_throw(handle_, path_, "cannot read the identity of");
  }

  bool created() const override { return created_; }

  void close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    // Closing releases the lock too, but only when the system gets round to it: the next run
    // should not wait for that.
    if (locked_) {
      OVERLAPPED whole_file{};
      ::UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole_file);
    }
    if (!::CloseHandle(handle)) throw last_failure("cannot close", path_);
  }

  // Waits for the exclusive lock that keeps other runs from writing between this run's lines.
  // The lock covers every byte the file can ever hold, so appends are covered too. Tried again
  // and again rather than waited for in the system, so that an interruption stops the wait.
  void lock() {
    for (;;) {
      OVERLAPPED whole_file{};
      if (::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &whole_file)) {
        locked_ = true;
        return;
      }
      DWORD error = ::GetLastError();
      if (error != ERROR_LOCK_VIOLATION) {
        throw windows_failure("cannot lock", path_, error);
      }
      textfile::throw_if_interrupted();
      ::Sleep(kLockRetryMilliseconds);
    }
  }

  void move_to_end() {
    LARGE_INTEGER nowhere{};
    if (!::SetFilePointerEx(handle_, nowhere, nullptr, FILE_END)) {
      throw last_failure("cannot append to", path_);
    }
  }

  std::optional<std::string> read_trusted_file(const std::string& path) const override;

  HANDLE handle() const { return handle_; }

 private:
  // True when `owner` owns this output too.
  bool is_owner(PSID owner) const {
    Security security;
    return security.read(handle_) == ERROR_SUCCESS && ::EqualSid(owner, security.owner);
  }

  HANDLE handle_;
  std::string path_;
  bool created_;
  bool locked_ = false;
};

std::optional<std::string> WindowsOutput::read_trusted_file(const std::string& path) const {
  HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (is_missing(error)) return std::nullopt;
    throw windows_failure("cannot open", path, error);
  }
  WindowsInput file(handle, path);
  FileState state = state_of(handle, path, "cannot open");
  if (::GetFileType(handle) != FILE_TYPE_DISK ||
      (state.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    throw untrusted(path, "not an ordinary file");
  }
  Security security;
  DWORD error = security.read(handle);
  if (error != ERROR_SUCCESS) throw windows_failure("cannot trust", path, error);
  if (!is_owner(security.owner) && !is_own_account(security.owner)) {
    throw untrusted(path, "owned by another user");
  }
  if (is_writable_by_others(security.access)) throw untrusted(path, "writable by other users");

  std::string content;
  char block[4096];
  while (std::size_t got = file.read(block, sizeof block)) content.append(block, got);
  return content;
}

// An output path that names a file this run holds already would wait for ever on the run's
// own lock.
void refuse_own_file(const FileIdentity& found, const std::string& path, const char* what_failed,
                     const FileIdentity& input, const FileIdentity* main_output) {
  if (found == input) {
    throw FileFailure(what_failed, path, ERROR_INVALID_PARAMETER, "is the input itself");
  }
  if (main_output != nullptr && found == *main_output) {
    throw FileFailure(what_failed, path, ERROR_INVALID_PARAMETER, "is the main output too");
  }
}

// Whether the last component of `path` is the input's own name, as the system knows it, and
// not a link to it that the system shows as the file itself, as Wine shows a Unix symbolic
// link. When it cannot tell, the name is taken for the file's own.
bool is_own_name(HANDLE input, const std::string& path) {
  std::wstring full = full_path(to_wide(path));
  std::size_t slash = full.find_last_of(L'\\');
  if (slash == std::wstring::npos) return true;
  WIN32_FIND_DATAW entry;
  HANDLE search = ::FindFirstFileW(system_path(full).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return true;
  ::FindClose(search);
  // The folder with its links followed, as they are in the file's own path.
  ScopedHandle folder(::CreateFileW(system_path(full.substr(0, slash + 1)).c_str(),
                                    FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring folder_path = folder.valid() ? final_path_of(folder.get()) : std::wstring();
  std::wstring file_path = final_path_of(input);
  if (folder_path.empty() || file_path.empty()) return true;
  if (folder_path.back() != L'\\') folder_path += L'\\';
  return same_path(folder_path + entry.cFileName, file_path);
}

// A link that the system shows as one, as Windows shows a symbolic link: deleted through a
// handle of its own, once it is sure that it still leads to the input.
void remove_link(ReadableFile& input, const std::string& path, const FileIdentity& link,
                 const FileIdentity& identity) {
  // Sharing no writing or deleting: nobody points it elsewhere or moves it meanwhile.
  ScopedHandle handle(
      open_name_itself(system_path(path), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ));
  if (!handle.valid()) throw last_failure("cannot delete", path);
  if (identity_or_throw(handle.get(), path, "cannot delete") != link ||
      identity_following_links(path) != identity) {
    throw another_file(path);
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!::SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    throw last_failure("cannot delete", path);
  }
  input.close();
}

// A link that the system shows as the file itself, as Wine shows a Unix symbolic link. Wine
// deletes a file, through a handle or by name, under the name the link resolves to: that
// would take the input and leave the link dangling. Moving a file over a name replaces the
// name itself, link or not, and Wine refuses that only while the file the link leads to is
// open; so the input is let go first, and another run that takes it meanwhile makes the move
// fail, and this run with it, before anything is deleted. What is moved over the link is a
// new empty file, deleted as it closes, even when the process ends first. (Windows shows a
// symbolic link as a reparse point: it goes through remove_link, under the input's lock.)
void replace_hidden_link(ReadableFile& input, const std::string& path,
                         const FileIdentity& identity) {
  std::string temporary = path + ".gone";
  std::wstring wide_temporary = system_path(temporary);
  ::DeleteFileW(wide_temporary.c_str());  // a leftover of a power cut
  ScopedHandle fresh(::CreateFileW(wide_temporary.c_str(), DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!fresh.valid()) throw last_failure("cannot create", temporary);
  input.close();
  if (identity_following_links(path) != identity) throw another_file(path);
  // The name as the kernel takes it, which SetFileInformationByHandle passes on unchanged.
  std::wstring target = verbatim_path(full_path(to_wide(path)), L"\\??\\");
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, target.data(), rename->FileNameLength);
  if (!::SetFileInformationByHandle(fresh.get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
    throw last_failure("cannot delete", path);
  }
}

// Deleted through its own handle, which shares no deletion or renaming: nothing is moved
// aside, and `aside_name` is not needed.
void WindowsInput::remove(const std::string& /*aside_name*/) {
  const std::string& path = path_;
  throw_if_changed();
  const FileIdentity identity = this->identity();
  FileState now = state_of(handle_, path, "cannot delete");
  // The system would refuse it too; said here, a read-only input fails the same way on
  // every file system.
  if (now.attributes & FILE_ATTRIBUTE_READONLY) {
    throw windows_failure("cannot delete", path, ERROR_ACCESS_DENIED);
  }

  // A path that is a link loses the link, and the file it leads to stays, as when a link is
  // deleted by name.
  FileIdentity link = identity_of_name(path);
  if (link != identity) {
    remove_link(*this, path, link, identity);
    return;
  }
  if (!is_own_name(handle_, path)) {
    replace_hidden_link(*this, path, identity);
    return;
  }

  // Through the open handle: only the very file that was converted can go.
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!::SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    throw last_failure("cannot delete", path);
  }
  // The name goes when the last handle closes: closing ours now makes the deletion happen
  // here, still under the file's lock, rather than whenever the run lets go of the input.
  close();
}

class WindowsFileSystem : public FileSystem {
 public:
  bool is_convertible_file(const std::string& path) override {
    std::wstring wide = to_wide(path);
    // Wildcards would make the name a pattern; besides * and ?, the system reads < > and " as
    // wildcards too. The long-path prefix \\?\ is no wildcard.
    std::size_t name_start = wide.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    if (wide.find_first_of(L"*?<>\"", name_start) != std::wstring::npos) return false;
    DWORD attributes = ::GetFileAttributesW(system_path(wide).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_DEVICE)) {
      return false;
    }
    // A device name (NUL, CON, COM1, ...) is not a file, wherever it stands.
    return full_path(wide).compare(0, 4, L"\\\\.\\") != 0;
  }

  std::unique_ptr<ReadableFile> open_input(const std::string& path) override {
    std::wstring wide = system_path(path);
    // Sharing reading only: another run, which asks for deletion, is refused at once, and no
    // program writes, renames or deletes the file while it is converted.
    DWORD access = GENERIC_READ | DELETE;
    HANDLE handle = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED &&
        !met_file_being_deleted()) {
      // A file this user may read but not delete is still converted; deleting it then fails.
      handle = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      // Gone, or going: another run has converted it since it was found.
      if (is_missing(error) || (error == ERROR_ACCESS_DENIED && met_file_being_deleted())) {
        return nullptr;
      }
      if (error == ERROR_SHARING_VIOLATION) {
        throw FileFailure("cannot open", path, static_cast<int>(error), "in use by another run");
      }
      throw windows_failure("cannot open", path, error);
    }
    insist_on_ordinary_file(handle, path, "cannot open", false);
    auto input = std::make_unique<WindowsInput>(handle, path);
    input->remember_opened(state_of(handle, path, "cannot open"));
    if (input->opened().delete_pending) return nullptr;
    return input;
  }

  std::unique_ptr<WritableFile> open_main_output(const std::string& path,
                                                 const FileIdentity& input) override {
    // Not emptied on opening: another run may still be writing it until its lock is ours.
    auto output = open_output(path, "cannot create", input, nullptr);
    output->truncate(0);
    return output;
  }

  std::unique_ptr<WritableFile> open_split_output(const std::string& path,
                                                  const FileIdentity& input,
                                                  const FileIdentity& main_output) override {
    auto output = open_output(path, "cannot append to", input, &main_output);
    output->move_to_end();
    return output;
  }

  void sync_folder_of(const std::string&) override {
    // Nothing to do, and nothing Windows would let an ordinary user do: a folder cannot be
    // flushed on its own. NTFS keeps folder changes in its journal, in order, and writes the
    // journal out with every FlushFileBuffers; a change not yet written is lost only together
    // with every change after it.
  }

  std::string absolute_path(const std::string& path) override {
    std::wstring full = full_path(to_wide(path));
    if (full.empty()) throw last_failure("cannot find the current folder of", path);
    return windows::to_narrow(full);
  }

  std::size_t file_name_start(const std::string& path) const override {
    return last_component_start(path);
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    return identity_following_links(path);
  }

  void write_small_file(const std::string& path, const std::string& content) override {
    // Written aside and moved over the old one: a crash leaves the old file or the new one,
    // never a mixture. The file is hidden, as the dot at the start of its name hides it on
    // POSIX, and only its owner, the system and administrators may touch it, whatever the
    // folder would pass on to it: read_trusted_file refuses a file that others may write.
    std::string temporary = path + ".new";
    std::wstring wide_temporary = system_path(temporary);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
      throw last_failure("cannot create", temporary);
    }
    std::unique_ptr<void, decltype(&::LocalFree)> frees(descriptor, ::LocalFree);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    // A leftover of a crash goes first; CREATE_NEW then follows no link at the name.
    ::DeleteFileW(wide_temporary.c_str());
    HANDLE handle = ::CreateFileW(wide_temporary.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                  &security, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw last_failure("cannot create", temporary);
    try {
      WindowsOutput output(handle, temporary, true);
      output.write(content.data(), content.size());
      output.sync();
      output.close();
      if (!::MoveFileExW(wide_temporary.c_str(), system_path(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw last_failure("cannot rename", temporary);
      }
    } catch (const FileFailure&) {
      ::DeleteFileW(wide_temporary.c_str());  // this run's own, half made: nothing to keep
      throw;
    }
  }

  void remove_file(const std::string& path) override {
    if (!::DeleteFileW(system_path(path).c_str()) && !is_missing(::GetLastError())) {
      throw last_failure("cannot delete", path);
    }
  }

  std::unique_ptr<BackgroundIo> start_background_io() override {
    return std::make_unique<BackgroundIo>();
  }

  void throw_if_interrupted() override {
    // Windows has no lease to watch writers with: the input's share mode keeps them out.
    textfile::throw_if_interrupted();
  }

 private:
  // Outputs share reading and writing with everyone: what keeps other runs out is the lock,
  // which they wait for, and a program that merely looks at an output does not stop a run.
  // Deletion is not shared, so the file stays the one written to. A link at the path is opened
  // as itself and refused, so nothing is ever written through it.
  std::unique_ptr<WindowsOutput> open_output(const std::string& path, const char* what_failed,
                                             const FileIdentity& input,
                                             const FileIdentity* main_output) {
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      // The input is held without sharing writing: another name of it cannot even be opened.
      FileIdentity found;
      if (error == ERROR_SHARING_VIOLATION && find_identity(path, found) == NO_ERROR) {
        refuse_own_file(found, path, what_failed, input, main_output);
      }
      throw windows_failure(what_failed, path, error);
    }
    bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    insist_on_ordinary_file(handle, path, what_failed, true);
    auto output = std::make_unique<WindowsOutput>(handle, path, created);
    refuse_own_file(output->identity(), path, what_failed, input, main_output);
    output->lock();
    return output;
  }
};

}  // namespace

FileSystem& platform_file_system() {
  static WindowsFileSystem files;
  return files;
}

}  // namespace textfile
