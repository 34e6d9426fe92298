#include "textfile/windows/windows_input.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "textfile/failure_texts.h"
#include "textfile/platform.h"
#include "textfile/windows/failures.h"
#include "textfile/windows/handle.h"
#include "textfile/windows/identity.h"
#include "textfile/windows/paths.h"
#include "textfile/windows/system_quirks.h"
#include "textfile/windows/windows_text.h"

namespace textfile::windows {
namespace {

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

  // Made absolute once, at the opening; the folder cannot be moved or replaced while the input
  // is held open in it, so its path stays the one the run began with.
  std::string real_path() const override { return real_path_; }
  FileIdentity folder_identity() const override {
    FileIdentity folder;
    if (find_identity(real_path_.substr(0, last_component_start(real_path_)), folder) != NO_ERROR) {
      return {};
    }
    return folder;
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
                        textfile::failure_text::kChanged);
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
  // Nothing to sync: see FileSystem::sync_folder_of.
  void sync_folder() override {}
  void remove_second_name(const std::string& name) override {
    delete_if_named(real_path_.substr(0, last_component_start(real_path_)) + name, converted_);
  }
  void close() override { close_handle(handle_); }

  HANDLE handle() const { return handle_; }
  // The file as it was opened, which its deletion compares it with.
  void remember_opened(const FileState& opened) {
    opened_ = opened;
    converted_ = identity();
    std::wstring full = full_path(to_wide(path_));
    real_path_ = full.empty() ? path_ : to_narrow(full);
  }
  const FileState& opened() const { return opened_; }

 private:
  HANDLE handle_;
  std::string path_;
  std::string real_path_;
  FileState opened_;
  // Still known once the file is closed, for removing its second names.
  FileIdentity converted_;
  std::uint64_t bytes_read_ = 0;
};

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

}  // namespace

std::unique_ptr<ReadableFile> open_input(const std::string& path) {
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
      throw FileFailure("cannot open", path, static_cast<int>(error),
                        textfile::failure_text::kInUseByAnotherRun);
    }
    throw windows_failure("cannot open", path, error);
  }
  insist_on_ordinary_file(handle, path, "cannot open", false);
  auto input = std::make_unique<WindowsInput>(handle, path);
  input->remember_opened(state_of(handle, path, "cannot open"));
  if (input->opened().delete_pending) return nullptr;
  return input;
}

}  // namespace textfile::windows
