#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

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

FileFailure windows_failure(const std::string& what_failed, const std::string& path, DWORD error) {
  return FileFailure(what_failed, path, static_cast<int>(error), windows::system_error_text(error));
}

FileFailure last_failure(const std::string& what_failed, const std::string& path) {
  return windows_failure(what_failed, path, ::GetLastError());
}

FileIdentity identity_from(const BY_HANDLE_FILE_INFORMATION& information) {
  return FileIdentity{
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void close_handle(HANDLE& handle) {
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

BY_HANDLE_FILE_INFORMATION information_of(HANDLE handle, const std::string& path,
                                          const char* what_failed) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(handle, &information)) throw last_failure(what_failed, path);
  return information;
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

// The identity of what `path` names, links followed; the error code when there is none.
// Opening for attributes only does not meet the share modes of other opens.
DWORD find_identity(const std::string& path, FileIdentity& identity) {
  HANDLE handle = ::CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ::GetLastError();
  BY_HANDLE_FILE_INFORMATION information;
  DWORD error = ::GetFileInformationByHandle(handle, &information) ? NO_ERROR : ::GetLastError();
  ::CloseHandle(handle);
  if (error == NO_ERROR) identity = identity_from(information);
  return error;
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
    return got;
  }

  FileIdentity identity() const override {
    return identity_from(information_of(handle_, path_, "cannot read"));
  }

  void close() override { close_handle(handle_); }

  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
  std::string path_;
};

class WindowsOutput : public WritableFile {
 public:
  WindowsOutput(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
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
    return identity_from(information_of(handle_, path_, "cannot read the identity of"));
  }

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
      throw_if_interrupted();
      ::Sleep(kLockRetryMilliseconds);
    }
  }

  void move_to_end() {
    LARGE_INTEGER nowhere{};
    if (!::SetFilePointerEx(handle_, nowhere, nullptr, FILE_END)) {
      throw last_failure("cannot append to", path_);
    }
  }

 private:
  HANDLE handle_;
  std::string path_;
  bool locked_ = false;
};

class WindowsFileSystem : public FileSystem {
 public:
  bool is_convertible_file(const std::string& path) override {
    std::wstring wide = to_wide(path);
    // Wildcards would make the name a pattern; besides * and ?, the system reads < > and " as
    // wildcards too. The long-path prefix \\?\ is no wildcard.
    std::size_t name_start = wide.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    if (wide.find_first_of(L"*?<>\"", name_start) != std::wstring::npos) return false;
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_DEVICE)) {
      return false;
    }
    // A device name (NUL, CON, COM1, ...) is not a file, wherever it stands.
    return full_path(wide).compare(0, 4, L"\\\\.\\") != 0;
  }

  std::unique_ptr<ReadableFile> open_input(const std::string& path) override {
    std::wstring wide = to_wide(path);
    // Sharing reading only: another run, which asks for deletion, is refused at once, and no
    // program writes, renames or deletes the file while it is converted.
    DWORD access = GENERIC_READ | DELETE;
    HANDLE handle = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
      // A file this user may read but not delete is still converted; deleting it then fails.
      handle = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (error == ERROR_SHARING_VIOLATION) {
        throw FileFailure("cannot open", path, static_cast<int>(error), "in use by another run");
      }
      throw windows_failure("cannot open", path, error);
    }
    insist_on_ordinary_file(handle, path, "cannot open", false);
    return std::make_unique<WindowsInput>(handle, path);
  }

  std::unique_ptr<WritableFile> open_main_output(const std::string& path) override {
    // Not emptied on opening: another run may still be writing it until its lock is ours.
    auto output = open_output(path, "cannot create");
    output->truncate(0);
    return output;
  }

  std::unique_ptr<WritableFile> open_split_output(const std::string& path) override {
    auto output = open_output(path, "cannot append to");
    output->move_to_end();
    return output;
  }

  void remove_input(ReadableFile& input, const std::string& path) override {
    auto* file = dynamic_cast<WindowsInput*>(&input);
    FileIdentity named;
    DWORD error = find_identity(path, named);
    if (error != NO_ERROR) throw windows_failure("cannot delete", path, error);
    if (file == nullptr || named != input.identity()) {
      throw FileFailure("cannot delete", path, ERROR_FILE_INVALID,
                        "the path names another file than the one converted");
    }
    // The system would refuse it too; said here, a read-only input fails the same way on
    // every file system.
    if (information_of(file->handle(), path, "cannot delete").dwFileAttributes &
        FILE_ATTRIBUTE_READONLY) {
      throw windows_failure("cannot delete", path, ERROR_ACCESS_DENIED);
    }
    // Through the open handle: only the very file that was converted can go.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file->handle(), FileDispositionInfo, &disposition,
                                      sizeof disposition)) {
      throw last_failure("cannot delete", path);
    }
    // The name goes when the last handle closes: closing ours now makes the deletion happen
    // here, still under the file's lock, rather than whenever the run lets go of the input.
    input.close();
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

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    FileIdentity identity;
    if (find_identity(path, identity) != NO_ERROR) return std::nullopt;
    return identity;
  }

  std::optional<std::string> read_small_file(const std::string& path) override {
    HANDLE handle = ::CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (is_missing(error)) return std::nullopt;
      throw windows_failure("cannot open", path, error);
    }
    insist_on_ordinary_file(handle, path, "cannot open", true);
    WindowsInput file(handle, path);
    std::string content;
    char block[4096];
    while (std::size_t got = file.read(block, sizeof block)) content.append(block, got);
    return content;
  }

  void write_small_file(const std::string& path, const std::string& content) override {
    // Written aside and moved over the old one: a crash leaves the old file or the new one,
    // never a mixture. The file is hidden, as the dot at the start of its name hides it on
    // POSIX.
    std::string temporary = path + ".new";
    std::wstring wide_temporary = to_wide(temporary);
    // A leftover of a crash goes first; CREATE_NEW then follows no link at the name.
    ::DeleteFileW(wide_temporary.c_str());
    HANDLE handle = ::CreateFileW(wide_temporary.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw last_failure("cannot create", temporary);
    {
      WindowsOutput output(handle, temporary);
      output.write(content.data(), content.size());
      output.sync();
      output.close();
    }
    if (!::MoveFileExW(wide_temporary.c_str(), to_wide(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw last_failure("cannot rename", temporary);
    }
  }

  void remove_file(const std::string& path) override {
    if (!::DeleteFileW(to_wide(path).c_str()) && !is_missing(::GetLastError())) {
      throw last_failure("cannot delete", path);
    }
  }

 private:
  static std::wstring full_path(const std::wstring& path) {
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

  // Outputs share reading and writing with everyone: what keeps other runs out is the lock,
  // which they wait for, and a program that merely looks at an output does not stop a run.
  // Deletion is not shared, so the file stays the one written to. A link at the path is opened
  // as itself and refused, so nothing is ever written through it.
  std::unique_ptr<WindowsOutput> open_output(const std::string& path, const char* what_failed) {
    HANDLE handle = ::CreateFileW(to_wide(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw last_failure(what_failed, path);
    insist_on_ordinary_file(handle, path, what_failed, true);
    auto output = std::make_unique<WindowsOutput>(handle, path);
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
