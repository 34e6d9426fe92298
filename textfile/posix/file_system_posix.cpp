#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"
#include "textfile/posix/descriptor.h"
#include "textfile/posix/file_status.h"
#include "textfile/posix/held_folder.h"
#include "textfile/posix/opening.h"
#include "textfile/posix/paths.h"
#include "textfile/posix/posix_input.h"
#include "textfile/posix/posix_output.h"

namespace textfile {
namespace {

using namespace posix;

class PosixFileSystem : public FileSystem {
 public:
  // Asked afresh: a host that saw the name go a moment ago (its own run deleted the input) would
  // otherwise not see the next file of that name another host put there.
  bool is_convertible_file(const std::string& path) override {
    std::string name;
    Descriptor folder(open_folder_of(path, name, O_PATH));
    struct statx status;
    if (folder.get() < 0 || named_status_of(folder.get(), name, 0, status) != 0 ||
        !S_ISREG(status.stx_mode)) {
      return false;
    }
    return last_component(path).compare(0, 1, ".") != 0;
  }

  std::unique_ptr<ReadableFile> open_input(const std::string& path) override {
    return posix::open_input(path);
  }

  std::unique_ptr<WritableFile> open_main_output(const std::string& path,
                                                 const FileIdentity& input) override {
    // Not emptied on opening: another run may still be writing it until its lock is ours.
    auto output = open_output(path, O_WRONLY, "cannot create", input, nullptr);
    output->truncate(0);
    return output;
  }

  std::unique_ptr<WritableFile> open_split_output(const std::string& path,
                                                  const FileIdentity& input,
                                                  const FileIdentity& main_output) override {
    return open_output(path, O_WRONLY | O_APPEND, "cannot append to", input, &main_output);
  }

  void sync_folder_of(const std::string& path) override {
    std::string name;
    Descriptor fd(open_folder_of(path, name, O_RDONLY));
    if (fd.get() < 0) throw posix_failure("cannot sync folder", folder_of(path), errno);
    if (::fsync(fd.get()) != 0) throw posix_failure("cannot sync folder", folder_of(path), errno);
  }

  std::size_t file_name_start(const std::string& path) const override {
    return last_component_start(path);
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    std::string name = path;
    int folder = AT_FDCWD;
    Descriptor long_path_folder;
    if (path.size() >= PATH_MAX) {
      long_path_folder.reset(folder_for_long_path(path, name));
      if (long_path_folder.get() < 0) return missing_or_failure(path, errno);
      folder = long_path_folder.get();
    }
    // Opened only to be looked at, which needs no permission to read it.
    Descriptor file(::openat(folder, name.c_str(), O_PATH | O_CLOEXEC));
    if (file.get() < 0) return missing_or_failure(path, errno);
    struct statx status;
    if (int error = status_of(file.get(), "", 0, status)) return missing_or_failure(path, error);
    if (status.stx_mask & STATX_BTIME) {
      return identity_from(status, file.get());
    }
    // The generation number needs the file open to read.
    file.reset(::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return missing_or_failure(path, errno);
    return identity_of_open(file.get(), path, "cannot look up");
  }

  void remove_second_name(const std::string& path, const FileIdentity& file) override {
    std::optional<HeldFolder> folder;
    try {
      folder.emplace(path, "cannot delete");
    } catch (const FileFailure& failure) {
      if (failure.error_number() == ENOENT) return;  // nothing there to remove
      throw;
    }
    folder->remove_if_named(folder->name(), file, path);
  }

  void throw_if_interrupted() override { throw_if_interrupted_or_changed(); }

  std::unique_ptr<BackgroundIo> start_background_io() override {
    // A thread that can only run in turn with the conversion's saves nothing and costs handing
    // every buffer over.
    if (processors_for_this_process() < 2) return nullptr;
    // The thread starts with the signals blocked that must reach the conversion's thread: a
    // termination signal or a lease break has to interrupt a wait there. The file size limit's
    // signal goes to the thread whose write passed it, and is caught there as anywhere.
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGIO}) sigaddset(&blocked, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &before);
    std::unique_ptr<BackgroundIo> io;
    try {
      io = std::make_unique<BackgroundIo>();
    } catch (const std::system_error&) {
      // No thread to be had (a process or thread limit): this thread does the work in turn.
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return io;
  }

 private:
  // The processors the scheduler may run this process on (its affinity, which a container's or
  // an operator's CPU set narrows), or those online where the system cannot tell.
  static long processors_for_this_process() {
#ifdef __linux__
    cpu_set_t allowed;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed);
#endif
    return ::sysconf(_SC_NPROCESSORS_ONLN);
  }

  static std::optional<FileIdentity> missing_or_failure(const std::string& path, int error) {
    if (error == ENOENT) return std::nullopt;
    throw posix_failure("cannot look up", path, error);
  }
};

}  // namespace

FileSystem& platform_file_system() {
  static PosixFileSystem files;
  return files;
}

}  // namespace textfile
