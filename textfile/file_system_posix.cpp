#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/input_lease_posix.h"
#include "textfile/platform.h"

namespace textfile {
namespace {

FileFailure posix_failure(const std::string& what_failed, const std::string& path, int error) {
  return FileFailure(what_failed, path, error, std::strerror(error));
}

// The run's safe point, which a blocking call interrupted by a signal reaches too: stop the run
// for a termination signal or a writer that broke the input's lease; any other signal, and the
// call is simply tried again.
void throw_if_interrupted_or_changed() {
  throw_if_interrupted();
  input_lease::throw_if_broken();
}

std::string last_component(const std::string& path) {
  return path.substr(last_component_start(path));
}

std::string folder_of(const std::string& path) {
  std::size_t name_start = last_component_start(path);
  if (name_start == 0) return ".";
  if (name_start == 1) return "/";
  return path.substr(0, name_start - 1);
}

// A descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

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

bool same_file(const struct statx& status, const FileIdentity& identity) {
  return makedev(status.stx_dev_major, status.stx_dev_minor) == identity.volume &&
         status.stx_ino == identity.index;
}

// The birth time where the file system records one; else the generation number the file system
// gives the file, read through `fd`, an open descriptor of it.
FileIdentity identity_from(const struct statx& status, int fd) {
  FileIdentity identity;
  identity.volume = makedev(status.stx_dev_major, status.stx_dev_minor);
  identity.index = status.stx_ino;
  if (status.stx_mask & STATX_BTIME) {
    identity.incarnation = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 1000000000u +
                           status.stx_btime.tv_nsec;
  } else {
    long generation = 0;  // some file systems fill only an int's worth of it
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
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

// Sleeps a moment between two looks at something another program holds, and stops the run
// meanwhile as a blocking wait would.
void pause_while_held() {
  struct timespec moment {
    0, 20 * 1000 * 1000
  };
  ::nanosleep(&moment, nullptr);
  throw_if_interrupted_or_changed();
}

// Without ever waiting on a FIFO or a device. A file another program holds a lease on (a file
// server, another run's input) refuses such an open for writing: with `wait_for_lease` the open
// is tried again until the holder has let go, as a lock is waited for.
int open_retrying(const std::string& path, int flags, bool wait_for_lease = false) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd >= 0) return fd;
    if (errno == EWOULDBLOCK && wait_for_lease) {
      pause_while_held();
    } else if (errno == EINTR) {
      throw_if_interrupted_or_changed();
    } else {
      return fd;
    }
  }
}

// Opens without ever waiting on a FIFO or a device, and insists on an ordinary file. Gives -1
// where opening fails with `expected_error`, and throws for any other.
int open_ordinary_file(const std::string& path, int flags, const char* what_failed,
                       int expected_error = 0) {
  Descriptor fd(open_retrying(path, flags, (flags & O_ACCMODE) != O_RDONLY));
  if (fd.get() < 0) {
    if (errno == expected_error) return -1;
    throw posix_failure(what_failed, path, errno);
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) throw posix_failure(what_failed, path, errno);
  if (!S_ISREG(status.st_mode)) {
    throw posix_failure(what_failed, path, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
  }
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd.release();
}

// True when `path` still names the open file `fd` and the file has not been deleted: between
// opening and locking, another run may have converted and deleted it, or taken it back.
bool still_named(int fd, const std::string& path, int follow, const char* what_failed) {
  struct statx open_status;
  struct statx named_status;
  if (int error = status_of(fd, "", 0, open_status)) throw posix_failure(what_failed, path, error);
  if (open_status.stx_nlink == 0) return false;
  if (int error = status_of(AT_FDCWD, path, follow, named_status)) {
    if (error == ENOENT) return false;
    throw posix_failure(what_failed, path, error);
  }
  return same_file(named_status, identity_from(open_status, -1));
}

// Only this program, run by the output's owner, by the running user or by the system
// administrator, could have written the file, and nobody else could have changed it since.
void throw_unless_trusted(int fd, const std::string& path, int output_fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) throw posix_failure("cannot read", path, errno);
  if (!S_ISREG(status.st_mode)) {
    throw FileFailure("cannot trust", path, EPERM, "not an ordinary file");
  }
  struct stat output_status {};
  bool owner_known = ::fstat(output_fd, &output_status) == 0;
  if (status.st_uid != ::geteuid() && status.st_uid != 0 &&
      !(owner_known && status.st_uid == output_status.st_uid)) {
    throw FileFailure("cannot trust", path, EPERM, "owned by another user");
  }
  if (status.st_mode & (S_IWGRP | S_IWOTH)) {
    throw FileFailure("cannot trust", path, EPERM, "writable by other users");
  }
}

class PosixInput : public ReadableFile {
 public:
  PosixInput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
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

  void throw_if_changed() override;
  bool pin(const std::string& name) override;
  void remove(const std::string& aside_name) override;

  void close() override {
    if (fd_.get() < 0) return;
    input_lease::forget();
    fd_.reset();
  }

  int fd() const { return fd_.get(); }

  // What the file is like once it is locked and leased; compared again before deleting it.
  void remember_state() {
    if (int error = stamps_of(fd_.get(), opened_)) {
      throw posix_failure("cannot open", path_, error);
    }
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
      throw FileFailure("cannot convert", path_, ESTALE, "changed while being converted");
    }
  }

 private:
  static bool same_time(const struct statx_timestamp& a, const struct statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  Descriptor fd_;
  std::string path_;
  std::uint64_t bytes_read_ = 0;
  struct statx opened_ {};
};

class PosixOutput : public WritableFile {
 public:
  PosixOutput(int fd, std::string path, bool created = false)
      : fd_(fd), path_(std::move(path)), created_(created) {}
  ~PosixOutput() override {
    try {
      close();
    } catch (const FileFailure&) {
    }
  }

  void write(const char* bytes, std::size_t size) override {
    while (size > 0) {
      ssize_t written = ::write(fd_.get(), bytes, size);
      if (written < 0) {
        if (errno != EINTR) throw posix_failure("cannot write", path_, errno);
        throw_if_interrupted_or_changed();
        continue;
      }
      bytes += written;
      size -= static_cast<std::size_t>(written);
    }
#ifdef __linux__
    // Start writing the new blocks to the disk now, while the conversion goes on, so that the
    // sync before the input is deleted finds little left to wait for. Only a hint: any error
    // shows at that sync.
    ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  std::uint64_t size() const override {
    struct stat status;
    if (::fstat(fd_.get(), &status) != 0) {
      throw posix_failure("cannot read the size of", path_, errno);
    }
    return static_cast<std::uint64_t>(status.st_size);
  }

  void truncate(std::uint64_t length) override {
    if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0) {
      throw posix_failure("cannot truncate", path_, errno);
    }
  }

  void sync() override {
    if (::fsync(fd_.get()) != 0) throw posix_failure("cannot sync", path_, errno);
  }

  FileIdentity identity() const override {
    return identity_of_open(fd_.get(), path_, "cannot read the identity of");
  }

  bool created() const override { return created_; }

  std::optional<std::string> read_trusted_file(const std::string& path) const override;

  void close() override {
    int fd = fd_.release();
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
      throw posix_failure("cannot close", path_, errno);
    }
  }

  // Waits for the exclusive lock that keeps other runs from writing between this run's lines,
  // then shows other runs that this one holds the file as its main output.
  void lock_as_main_output() {
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) throw posix_failure("cannot lock", path_, errno);
      throw_if_interrupted_or_changed();
    }
#ifdef F_OFD_SETLK
    struct flock mark = main_output_mark(F_WRLCK);
    ::fcntl(fd_.get(), F_OFD_SETLK, &mark);  // where the file system has no such locks: no mark
#endif
  }

  // A run holds its main output's lock when it asks for its split output's, so two runs whose
  // outputs cross (each one's split output the other's main output) would wait for each other
  // forever. A run that holds a file as its split output waits for nothing more, and is waited
  // for; a file another run holds as its main output fails at once.
  void lock_as_split_output(const char* what_failed) {
    for (;;) {
      if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return;
      if (errno == EINTR) {
        throw_if_interrupted_or_changed();
        continue;
      }
      if (errno != EWOULDBLOCK) throw posix_failure("cannot lock", path_, errno);
      if (held_as_main_output()) {
        throw FileFailure(what_failed, path_, EWOULDBLOCK, "in use by another run");
      }
      pause_while_held();
    }
  }

  int fd() const { return fd_.get(); }

 private:
  // A lock on one byte far beyond any output's end, which no lock of the data ever meets.
  static struct flock main_output_mark(short type) {
    struct flock mark {};
    mark.l_type = type;
    mark.l_whence = SEEK_SET;
    mark.l_start = static_cast<off_t>(1) << 40;
    mark.l_len = 1;
    return mark;
  }

  bool held_as_main_output() const {
#ifdef F_OFD_GETLK
    struct flock mark = main_output_mark(F_WRLCK);
    return ::fcntl(fd_.get(), F_OFD_GETLK, &mark) == 0 && mark.l_type != F_UNLCK;
#else
    return false;
#endif
  }

  Descriptor fd_;
  std::string path_;
  bool created_;
};

// A path too long for one system call is followed a piece at a time: each piece, shorter than
// the system's limit, is opened from the folder the pieces before it led to, so links and ".."
// resolve exactly as they would in the whole path. Gives the folder to look `name` up from.
int folder_for_long_path(const std::string& path, std::string& name) {
  Descriptor folder(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string rest = path;
  while (folder.get() >= 0 && rest.size() >= PATH_MAX) {
    std::string::size_type cut = rest.rfind('/', PATH_MAX - 1);
    if (cut == std::string::npos || cut == 0) {
      errno = ENAMETOOLONG;
      return -1;
    }
    folder.reset(
        ::openat(folder.get(), rest.substr(0, cut).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    rest.erase(0, cut + 1);
  }
  name = rest;
  return folder.release();
}

// Opens the folder that holds `path`, however long the path, with `flags`; `name` is the
// file's name in it. Names made beside a file are reached from there, so that a name a little
// longer than the file's own is still in reach.
int open_folder_of(const std::string& path, std::string& name, int flags) {
  std::string rest = path;
  Descriptor start;
  int from = AT_FDCWD;
  if (path.size() >= PATH_MAX) {
    start.reset(folder_for_long_path(path, rest));
    if (start.get() < 0) return -1;
    from = start.get();
  }
  name = last_component(rest);
  return ::openat(from, folder_of(rest).c_str(), flags | O_DIRECTORY | O_CLOEXEC);
}

std::string beside(const std::string& path, const std::string& name) {
  return path.substr(0, last_component_start(path)) + name;
}

// Fails, naming the input's path, unless `name` in `folder` (the input's name, or the name it
// was moved aside to) names the file `converted`.
void throw_unless_named(int folder, const std::string& name, const std::string& input_path,
                        const FileIdentity& converted) {
  struct statx status;
  if (int error = status_of(folder, name, 0, status)) {
    throw posix_failure("cannot delete", input_path, error);
  }
  if (!same_file(status, converted)) {
    throw FileFailure("cannot delete", input_path, ESTALE,
                      "the path names another file than the one converted");
  }
}

void PosixInput::throw_if_changed() {
  input_lease::throw_if_broken();
  std::string name;
  Descriptor folder(open_folder_of(path_, name, O_PATH));
  if (folder.get() < 0) throw posix_failure("cannot delete", path_, errno);
  struct statx named;
  if (int error = status_of(folder.get(), name, 0, named)) {
    throw posix_failure("cannot delete", path_, error);
  }
  if (!same_file(named, identity())) {
    throw FileFailure("cannot delete", path_, ESTALE,
                      "the path names another file than the one converted");
  }
  throw_unless_as_opened();
}

bool PosixInput::pin(const std::string& name) {
  std::string own_name;
  Descriptor folder(open_folder_of(path_, own_name, O_RDONLY));
  if (folder.get() < 0) throw posix_failure("cannot open the folder of", path_, errno);
  // An input that is a symbolic link pins the file it leads to, the one converted.
  if (::linkat(folder.get(), own_name.c_str(), folder.get(), name.c_str(), AT_SYMLINK_FOLLOW) !=
      0) {
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
  if (status_of(folder.get(), name, AT_SYMLINK_NOFOLLOW, pinned) != 0 ||
      !same_file(pinned, identity())) {
    ::unlinkat(folder.get(), name.c_str(), 0);
    return false;
  }
  if (::fsync(folder.get()) != 0)
    throw posix_failure("cannot sync folder", beside(path_, ""), errno);
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

std::optional<std::string> PosixOutput::read_trusted_file(const std::string& path) const {
  Descriptor fd(open_retrying(path, O_RDONLY | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    if (errno != ELOOP) throw posix_failure("cannot open", path, errno);
    throw FileFailure("cannot trust", path, EPERM, "not an ordinary file");
  }
  throw_unless_trusted(fd.get(), path, fd_.get());
  std::string content;
  char block[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw posix_failure("cannot read", path, errno);
    if (got == 0) return content;
    content.append(block, static_cast<std::size_t>(got));
  }
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
  std::string name;
  Descriptor folder(open_folder_of(path_, name, O_PATH));
  if (folder.get() < 0) throw posix_failure("cannot delete", path_, errno);
  if (!move_without_replacing(folder.get(), name, aside_name)) {
    if (errno == EEXIST)
      throw posix_failure("cannot move aside to", beside(path_, aside_name), errno);
    throw posix_failure("cannot delete", path_, errno);
  }
  try {
    throw_unless_named(folder.get(), aside_name, path_, converted);
    input_lease::throw_if_broken();
    if (::unlinkat(folder.get(), aside_name.c_str(), 0) != 0) {
      throw posix_failure("cannot delete", path_, errno);
    }
  } catch (const FileFailure&) {
    if (!move_without_replacing(folder.get(), aside_name, name)) {
      throw posix_failure("cannot put back", beside(path_, aside_name), errno);
    }
    throw;
  }
  close();
}

class PosixFileSystem : public FileSystem {
 public:
  bool is_convertible_file(const std::string& path) override {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return last_component(path).compare(0, 1, ".") != 0;
  }

  std::unique_ptr<ReadableFile> open_input(const std::string& path) override {
    auto input =
        std::make_unique<PosixInput>(open_ordinary_file(path, O_RDONLY, "cannot open"), path);
    if (::flock(input->fd(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        throw FileFailure("cannot open", path, EWOULDBLOCK, "in use by another run");
      }
      throw posix_failure("cannot lock", path, errno);
    }
    if (!still_named(input->fd(), path, 0, "cannot open")) return nullptr;
    input_lease::take(input->fd(), path);
    input->remember_state();
    return input;
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

  std::string absolute_path(const std::string& path) override {
    if (!path.empty() && path[0] == '/') return path;
    std::unique_ptr<char, decltype(&std::free)> current(::getcwd(nullptr, 0), &std::free);
    if (!current) throw posix_failure("cannot find the current folder of", path, errno);
    return std::string(current.get()) + "/" + path;
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
    struct statx status;
    if (int error = status_of(folder, name, 0, status)) return missing_or_failure(path, error);
    if (status.stx_mask & STATX_BTIME) return identity_from(status, -1);
    // The generation number needs the file open.
    Descriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) return missing_or_failure(path, errno);
    return identity_of_open(file.get(), path, "cannot look up");
  }

  void write_small_file(const std::string& path, const std::string& content) override {
    // Written aside and renamed over the old one: a crash leaves the old file or the new one,
    // never a mixture. The file aside is made afresh, so that nothing someone left at its name
    // (a link to a file of theirs or of ours) is written through; nobody else may write it.
    std::string temporary = path + ".new";
    remove_file(temporary);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw posix_failure("cannot create", temporary, errno);
    try {
      PosixOutput output(fd, temporary);
      output.write(content.data(), content.size());
      output.sync();
      output.close();
      if (::rename(temporary.c_str(), path.c_str()) != 0) {
        throw posix_failure("cannot rename", temporary, errno);
      }
    } catch (const FileFailure&) {
      ::unlink(temporary.c_str());  // this run's own, half made: nothing to keep
      throw;
    }
    sync_folder_of(path);
  }

  void remove_file(const std::string& path) override {
    std::string name;
    Descriptor folder(open_folder_of(path, name, O_PATH));
    if (folder.get() < 0 && errno == ENOENT) return;
    if (folder.get() < 0 || (::unlinkat(folder.get(), name.c_str(), 0) != 0 && errno != ENOENT)) {
      throw posix_failure("cannot delete", path, errno);
    }
  }

  void throw_if_interrupted() override { throw_if_interrupted_or_changed(); }

  std::unique_ptr<BackgroundIo> start_background_io() override {
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
  static std::optional<FileIdentity> missing_or_failure(const std::string& path, int error) {
    if (error == ENOENT) return std::nullopt;
    throw posix_failure("cannot look up", path, error);
  }

  // Files this run holds already are refused, rather than waited for on their own lock. The
  // path is looked at before opening too: opening the leased input for writing would break
  // this run's own lease.
  static void throw_if_held(const struct statx& status, const std::string& path,
                            const char* what_failed, const FileIdentity& input,
                            const FileIdentity* main_output) {
    if (same_file(status, input))
      throw FileFailure(what_failed, path, EINVAL, "is the input itself");
    if (main_output != nullptr && same_file(status, *main_output)) {
      throw FileFailure(what_failed, path, EINVAL, "is the main output too");
    }
  }

  // Opens, creating it when missing, and locks an output. A file whose name another run took
  // away while this one waited for its lock is let go and the path opened afresh: records
  // written into a file without a name would be lost.
  std::unique_ptr<PosixOutput> open_output(const std::string& path, int flags,
                                           const char* what_failed, const FileIdentity& input,
                                           const FileIdentity* main_output) {
    flags |= O_NOFOLLOW;
    for (;;) {
      struct statx status;
      if (status_of(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, status) == 0) {
        throw_if_held(status, path, what_failed, input, main_output);
      }
      bool created = true;
      int fd = open_ordinary_file(path, flags | O_CREAT | O_EXCL, what_failed, EEXIST);
      if (fd < 0) {
        created = false;
        fd = open_ordinary_file(path, flags, what_failed, ENOENT);
        if (fd < 0) continue;  // removed in between: made afresh
      }
      auto output = std::make_unique<PosixOutput>(fd, path, created);
      if (int error = status_of(fd, "", 0, status)) throw posix_failure(what_failed, path, error);
      throw_if_held(status, path, what_failed, input, main_output);
      if (main_output == nullptr) {
        output->lock_as_main_output();
      } else {
        output->lock_as_split_output(what_failed);
      }
      if (still_named(fd, path, AT_SYMLINK_NOFOLLOW, what_failed)) return output;
    }
  }
};

}  // namespace

FileSystem& platform_file_system() {
  static PosixFileSystem files;
  return files;
}

}  // namespace textfile
