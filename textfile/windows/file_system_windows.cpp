#include <windows.h>

#include <memory>
#include <string>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"
#include "textfile/windows/failures.h"
#include "textfile/windows/identity.h"
#include "textfile/windows/paths.h"
#include "textfile/windows/windows_input.h"
#include "textfile/windows/windows_output.h"
#include "textfile/windows/windows_text.h"

namespace textfile {
namespace {

using namespace windows;

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
    return windows::open_input(path);
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
    return open_output(path, "cannot append to", input, &main_output);
  }

  void sync_folder_of(const std::string&) override {
    // Nothing to do, and nothing Windows would let an ordinary user do: a folder cannot be
    // flushed on its own. NTFS keeps folder changes in its journal, in order, and writes the
    // journal out with every FlushFileBuffers; a change not yet written is lost only together
    // with every change after it.
  }

  std::size_t file_name_start(const std::string& path) const override {
    return last_component_start(path);
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    return identity_following_links(path);
  }

  void remove_second_name(const std::string& path, const FileIdentity& file) override {
    delete_if_named(path, file);
  }

  std::unique_ptr<BackgroundIo> start_background_io() override {
    // A thread that can only run in turn with the conversion's saves nothing and costs handing
    // every buffer over. The affinity mask is the process's within its processor group.
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
        (process_mask & (process_mask - 1)) == 0) {
      return nullptr;
    }
    return std::make_unique<BackgroundIo>();
  }

  void throw_if_interrupted() override {
    // Windows has no lease to watch writers with: the input's share mode keeps them out.
    if (int signal_number = pending_termination_signal()) throw Interrupted(signal_number);
  }
};

}  // namespace

FileSystem& platform_file_system() {
  static WindowsFileSystem files;
  return files;
}

}  // namespace textfile
