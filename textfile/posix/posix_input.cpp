#include "textfile/posix/posix_input.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "textfile/failure_texts.h"
#include "textfile/posix/descriptor.h"
#include "textfile/posix/file_status.h"
#include "textfile/posix/held_folder.h"
#include "textfile/posix/input_lease.h"
#include "textfile/posix/opening.h"
#include "textfile/posix/paths.h"
#include "textfile/posix/run_locks.h"

namespace textfile::posix {
namespace {

class PosixInput : public ReadableFile {
 public:
  PosixInput(std::unique_ptr<HeldFolder> folder, int fd, std::string path)
      : folder_(std::move(folder)),
        fd_(fd),
        path_(std::move(path)),
        shared_(on_shared_storage(fd)) {}
  ~PosixInput() override { close(); }

  std::size_t read(char* into, std::size_t capacity) override {
    for (;;) {
      ssize_t got = ::read(fd_.get(), into, capacity);
      if (got >= 0) {
        bytes_read_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
      }
      if (errno != EINTR) throw posix_failure("cannot read", path_, errno);
      throw_if_interrupted_or_changed();
    }
  }

  FileIdentity identity() const override {
    return identity_of_open(fd_.get(), path_, "cannot read");
  }

  std::uint64_t size() const override { return opened_.stx_size; }

  std::uint64_t modified() const override {
    return static_cast<std::uint64_t>(opened_.stx_mtime.tv_sec) * 1000000000u +
           opened_.stx_mtime.tv_nsec;
  }

  std::string real_path() const override { return folder_->real_path_of(folder_->name()); }
  FileIdentity folder_identity() const override { return folder_->identity(); }

  void throw_if_changed() override;
  bool pin(const std::string& name) override;
  void remove(const std::string& aside_name) override;
  void sync_folder() override { folder_->sync(folder_of(path_)); }
  void remove_second_name(const std::string& name) override {
    folder_->remove_if_named(name, converted_, folder_->path_of(name));
  }

  void close() override {
    if (fd_.get() < 0) return;
    input_lease::forget();
    fd_.reset();
    lock_fd_.reset();
  }

  int fd() const { return fd_.get(); }
  bool shared() const { return shared_; }

  // True when the path still names this file, asked afresh: another run may have converted and
  // deleted it between the opening and the lock.
  bool still_named() const {
    return still_named_at(fd_.get(), folder_->fd(), folder_->name(), path_, 0, "cannot open");
  }

  bool lock();

  // What the file is like once it is locked and leased; compared again before deleting it.
  void remember_state() {
    if (int error = stamps_of(fd_.get(), opened_)) {
      throw posix_failure("cannot open", path_, error);
    }
    converted_ = identity();
  }

  // Fails unless the file is as it was opened and read to its end: nobody wrote, appended,
  // truncated or touched it since.
  void throw_unless_as_opened() const {
    struct statx now;
    if (int error = stamps_of(fd_.get(), now)) {
      throw posix_failure("cannot delete", path_, error);
    }
    if (now.stx_size != bytes_read_ || !same_time(now.stx_mtime, opened_.stx_mtime) ||
        !same_time(now.stx_ctime, opened_.stx_ctime)) {
      throw FileFailure("cannot convert", path_, ESTALE, textfile::failure_text::kChanged);
    }
  }

 private:
  static bool same_time(const struct statx_timestamp& a, const struct statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  // Held from the opening on: the pin and the name moved aside are made in this very folder.
  std::unique_ptr<HeldFolder> folder_;
  Descriptor fd_;
  std::string path_;
  std::uint64_t bytes_read_ = 0;
  struct statx opened_ {};
  // Still known once the file is closed, for removing its second names.
  FileIdentity converted_;
  // On storage that hosts share, where the lease is the file server's to take back.
  bool shared_;
  // The same file open for writing, where the run's lock needs it.
  Descriptor lock_fd_;
};

// Against every other run, on any host. On shared storage a lock taken with the file open for
// reading alone may be kept by this host only, where the server lets it cache the file (NFS v4
// under a delegation), and another host would not see it: the file is opened for writing too,
// where this user may, for a lock the server holds. Nothing is written through it.
bool PosixInput::lock() {
  if (shared_) {
    lock_fd_.reset(open_retrying_at(folder_->fd(), folder_->name(), O_WRONLY));
    // Refused to this user: a read lock could leave another host converting the file while this
    // run deletes it. Only a file nobody may write is never deleted by any run, and that may be
    // converted twice at once without harm.
    const int refusal = lock_fd_.get() < 0 ? errno : 0;
    struct stat status;
    if ((refusal == EACCES || refusal == EPERM) &&
        (::fstat(fd_.get(), &status) != 0 || (status.st_mode & 0222) != 0)) {
      throw FileFailure("cannot lock", path_, refusal, textfile::failure_text::kLockNeedsWriting);
    }
    struct statx reading;
    struct statx writing;
    if (lock_fd_.get() >= 0 &&
        (status_of(fd_.get(), "", 0, reading) != 0 ||
         status_of(lock_fd_.get(), "", 0, writing) != 0 || !same_file(reading, writing))) {
      lock_fd_.reset();  // the name leads elsewhere now: the lock below, and the check after it
    }
  }
  return run_locks::lock_input(fd_.get(), lock_fd_.get(), path_);
}

// Fails, naming the input's path, unless `name` in `folder` (the input's name, or the name it
// was moved aside to) names the file `converted`.
void throw_unless_named(int folder, const std::string& name, const std::string& input_path,
                        const FileIdentity& converted) {
  struct statx status;
  if (int error = named_status_of(folder, name, 0, status)) {
    throw posix_failure("cannot delete", input_path, error);
  }
  if (!same_file(status, converted)) {
    throw FileFailure("cannot delete", input_path, ESTALE, textfile::failure_text::kAnotherFile);
  }
}

void PosixInput::throw_if_changed() {
  input_lease::throw_if_broken();
  std::string name;
  Descriptor folder(open_folder_of(path_, name, O_PATH));
  if (folder.get() < 0) throw posix_failure("cannot delete", path_, errno);
  struct statx named;
  if (int error = named_status_of(folder.get(), name, 0, named)) {
    throw posix_failure("cannot delete", path_, error);
  }
  if (!same_file(named, identity())) {
    throw FileFailure("cannot delete", path_, ESTALE, textfile::failure_text::kAnotherFile);
  }
  throw_unless_as_opened();
}

bool PosixInput::pin(const std::string& name) {
  if (shared_) input_lease::let_go();
  int folder = folder_->fd();
  // An input that is a symbolic link pins the file it leads to, the one converted.
  if (::linkat(folder, folder_->name().c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    int error = errno;
    // No second names on this file system, or not for this user (a file of another user where
    // the system protects hard links), or not here (a link to another file system).
    if (error == EPERM || error == EOPNOTSUPP || error == EMLINK || error == ENOSYS ||
        error == EXDEV) {
      return false;
    }
    throw posix_failure("cannot pin", beside(path_, name), error);
  }
  // A file system that numbers the names of one file apart cannot tell by a name which file it
  // is: no pin there. Nor when the path named another file by now; its deletion fails later.
  struct statx pinned;
  if (status_of(folder, name, AT_SYMLINK_NOFOLLOW, pinned) != 0 || !same_file(pinned, identity())) {
    ::unlinkat(folder, name.c_str(), 0);
    return false;
  }
  // The new name is the file's only change since it was read: its change time moved.
  struct statx now;
  if (stamps_of(fd_.get(), now) == 0 && now.stx_size == opened_.stx_size &&
      same_time(now.stx_mtime, opened_.stx_mtime)) {
    opened_.stx_ctime = now.stx_ctime;
  }
  return true;
}

bool move_without_replacing(int folder, const std::string& from, const std::string& to) {
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system or a kernel (before Linux 3.15: the C library says EINVAL for it) that cannot
  // promise it: the name is looked at first.
  struct stat status;
  if (::fstatat(folder, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

void PosixInput::remove(const std::string& aside_name) {
  FileIdentity converted = identity();
  throw_if_changed();
  // A file nobody may write is read-only: it stays, even for a user whom the system would
  // let remove it.
  struct stat status;
  if (::fstat(fd_.get(), &status) != 0) throw posix_failure("cannot delete", path_, errno);
  if ((status.st_mode & 0222) == 0) throw posix_failure("cannot delete", path_, EACCES);

  // Moved aside under a name of this attempt's own before it goes: a file moved onto the path
  // after the check above is then never the one deleted. What was moved is checked once more
  // and put back when it is not the file converted.
  // In the folder the input was opened in, which the check above found the path still leads to.
  if (shared_) input_lease::let_go();
  const std::string& name = folder_->name();
  int folder = folder_->fd();
  if (!move_without_replacing(folder, name, aside_name)) {
    if (errno == EEXIST)
      throw posix_failure("cannot move aside to", beside(path_, aside_name), errno);
    throw posix_failure("cannot delete", path_, errno);
  }
  try {
    throw_unless_named(folder, aside_name, path_, converted);
    input_lease::throw_if_broken();
    if (::unlinkat(folder, aside_name.c_str(), 0) != 0) {
      throw posix_failure("cannot delete", path_, errno);
    }
  } catch (const FileFailure&) {
    if (!move_without_replacing(folder, aside_name, name)) {
      throw posix_failure("cannot put back", beside(path_, aside_name), errno);
    }
    throw;
  }
  close();
}

}  // namespace

// The input is opened through its folder, held from then on: whatever the path leads to later,
// the run's names beside the input go where the input was.
std::unique_ptr<ReadableFile> open_input(const std::string& path) {
  std::unique_ptr<HeldFolder> folder;
  try {
    folder = std::make_unique<HeldFolder>(path, "cannot open");
  } catch (const FileFailure& failure) {
    if (failure.error_number() == ENOENT) return nullptr;  // gone with its folder
    throw;
  }
  // Opening asks the file server afresh where a stat may have answered from what this host
  // remembers: a file another host deleted is missing here, and nothing to do.
  int fd =
      open_ordinary_file_at(folder->fd(), folder->name(), path, O_RDONLY, "cannot open", ENOENT);
  if (fd < 0) return nullptr;
  auto input = std::make_unique<PosixInput>(std::move(folder), fd, path);
  try {
    if (!input->lock()) {
      throw FileFailure("cannot open", path, EWOULDBLOCK,
                        textfile::failure_text::kInUseByAnotherRun);
    }
    if (!input->still_named()) return nullptr;
    input_lease::take(input->fd(), path, input->shared());
    input->remember_state();
  } catch (const FileFailure& failure) {
    // The file server no longer has the file opened: another host deleted it meanwhile.
    if (failure.error_number() == ESTALE) return nullptr;
    throw;
  }
  return input;
}

}  // namespace textfile::posix
