#include "textfile/windows/windows_output.h"

// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>

#include "textfile/failure_texts.h"
#include "textfile/platform.h"
#include "textfile/windows/failures.h"
#include "textfile/windows/handle.h"
#include "textfile/windows/identity.h"
#include "textfile/windows/paths.h"
#include "textfile/windows/security.h"

namespace textfile::windows {
namespace {

// How long a run waits between two tries for an output that another run has locked.
constexpr DWORD kLockRetryMilliseconds = 50;

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

  // Unknown for an output named by a bare name: nothing then takes its folder for another's.
  FileIdentity folder_identity() const override {
    FileIdentity folder;
    const std::string path = beside("");
    if (path.empty() || find_identity(path, folder) != NO_ERROR) return {};
    return folder;
  }

  bool created() const override { return created_; }

  std::uint64_t name_count() const override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle_, &information)) {
      throw last_failure("cannot look up", path_);
    }
    return information.nNumberOfLinks;
  }

  // The folders of an open file cannot be moved or replaced while it is open, so its path still
  // leads to the folder it was opened in. Its handle shares no deletion: where the system
  // refuses the deletion for that, the file stays.
  void remove() override { delete_if_named(path_, identity()); }

  // Nothing to sync: see FileSystem::sync_folder_of.
  void sync_folder() override {}

  void write_file_beside(const std::string& name, const std::string& content) override;

  // Replaced whole with the addition, durably, which the contract allows: a torn addition is
  // then never left.
  void append_to_file_beside(const std::string& name, const std::string& content) override {
    std::optional<std::string> old = read_trusted_file(name);
    if (!old) throw windows_failure("cannot append to", beside(name), ERROR_FILE_NOT_FOUND);
    write_file_beside(name, *old + content);
  }

  void remove_file_beside(const std::string& name) override {
    std::string path = beside(name);
    if (!::DeleteFileW(system_path(path).c_str()) && !is_missing(::GetLastError())) {
      throw last_failure("cannot delete", path);
    }
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
      if (int signal_number = pending_termination_signal()) throw Interrupted(signal_number);
      ::Sleep(kLockRetryMilliseconds);
    }
  }

  void move_to_end() {
    LARGE_INTEGER nowhere{};
    if (!::SetFilePointerEx(handle_, nowhere, nullptr, FILE_END)) {
      throw last_failure("cannot append to", path_);
    }
  }

  std::optional<std::string> read_trusted_file(const std::string& name) const override;

  HANDLE handle() const { return handle_; }

 private:
  // The path of `name` in the output's folder, which holding the output keeps in place.
  std::string beside(const std::string& name) const {
    return path_.substr(0, last_component_start(path_)) + name;
  }

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

std::optional<std::string> WindowsOutput::read_trusted_file(const std::string& name) const {
  const std::string path = beside(name);
  HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (is_missing(error)) return std::nullopt;
    throw windows_failure("cannot open", path, error);
  }
  ScopedHandle file(handle);
  FileState state = state_of(handle, path, "cannot open");
  if (::GetFileType(handle) != FILE_TYPE_DISK ||
      (state.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    throw untrusted(path, textfile::failure_text::kNotAnOrdinaryFile);
  }
  Security security;
  DWORD error = security.read(handle);
  if (error != ERROR_SUCCESS) throw windows_failure("cannot trust", path, error);
  if (!is_owner(security.owner) && !is_own_account(security.owner)) {
    throw untrusted(path, textfile::failure_text::kOwnedByAnotherUser);
  }
  if (is_writable_by_others(security.access))
    throw untrusted(path, textfile::failure_text::kWritableByOthers);

  std::string content;
  char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle, block, sizeof block, &got, nullptr)) {
      throw last_failure("cannot read", path);
    }
    if (got == 0) return content;
    content.append(block, got);
  }
}

// Written aside and moved over the old one: a crash leaves the old file or the new one, never a
// mixture. The file is hidden, as the dot at the start of its name hides it on POSIX, and only
// its owner, the system and administrators may touch it, whatever the folder would pass on to
// it: read_trusted_file refuses a file that others may write.
void WindowsOutput::write_file_beside(const std::string& name, const std::string& content) {
  std::string path = beside(name);
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
    write_and_close(handle, temporary, content);
    if (!::MoveFileExW(wide_temporary.c_str(), system_path(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw last_failure("cannot rename", temporary);
    }
  } catch (const FileFailure&) {
    ::DeleteFileW(wide_temporary.c_str());  // this run's own, half made: nothing to keep
    throw;
  }
}

// An output path that names a file this run holds already would wait for ever on the run's
// own lock.
void refuse_own_file(const FileIdentity& found, const std::string& path, const char* what_failed,
                     const FileIdentity& input, const FileIdentity* main_output) {
  if (found == input) {
    throw FileFailure(what_failed, path, ERROR_INVALID_PARAMETER,
                      textfile::failure_text::kIsTheInput);
  }
  if (main_output != nullptr && found == *main_output) {
    throw FileFailure(what_failed, path, ERROR_INVALID_PARAMETER,
                      textfile::failure_text::kIsTheMainOutput);
  }
}

}  // namespace

// Outputs share reading and writing with everyone: what keeps other runs out is the lock,
// which they wait for, and a program that merely looks at an output does not stop a run.
// Deletion is not shared, so the file stays the one written to. A link at the path is opened
// as itself and refused, so nothing is ever written through it.
std::unique_ptr<WritableFile> open_output(const std::string& path, const char* what_failed,
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
  if (main_output != nullptr) output->move_to_end();
  return output;
}

void write_and_close(HANDLE handle, const std::string& path, const std::string& content) {
  WindowsOutput output(handle, path, true);
  output.write(content.data(), content.size());
  output.sync();
  output.close();
}

}  // namespace textfile::windows
