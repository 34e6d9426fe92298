#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"

namespace textfile {
namespace {

FileFailure posix_failure(const std::string& what_failed, const std::string& path, int error) {
  return FileFailure(what_failed, path, error, std::strerror(error));
}

FileIdentity identity_from(const struct stat& status) {
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino)};
}

// A blocking call interrupted by one of the watched signals: stop the run if it was one of
// them, otherwise simply try again.
void after_interruption() { throw_if_interrupted(); }

std::string last_component(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void close_descriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Opens without ever waiting on a FIFO or a device, and insists on an ordinary file.
int open_ordinary_file(const std::string& path, int flags, const char* what_failed) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR && (after_interruption(), true));
  if (fd < 0) throw posix_failure(what_failed, path, errno);
  struct stat status;
  int error = 0;
  if (::fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  }
  if (error != 0) {
    ::close(fd);
    throw posix_failure(what_failed, path, error);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

class PosixInput : public ReadableFile {
 public:
  PosixInput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixInput() override { close(); }

  std::size_t read(char* into, std::size_t capacity) override {
    for (;;) {
      ssize_t got = ::read(fd_, into, capacity);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw posix_failure("cannot read", path_, errno);
      after_interruption();
    }
  }

  FileIdentity identity() const override {
    struct stat status;
    if (::fstat(fd_, &status) != 0) throw posix_failure("cannot read", path_, errno);
    return identity_from(status);
  }

  void close() override { close_descriptor(fd_); }

 private:
  int fd_;
  std::string path_;
};

class PosixOutput : public WritableFile {
 public:
  PosixOutput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixOutput() override { close(); }

  void write(const char* bytes, std::size_t size) override {
    while (size > 0) {
      ssize_t written = ::write(fd_, bytes, size);
      if (written < 0) {
        if (errno != EINTR) throw posix_failure("cannot write", path_, errno);
        after_interruption();
        continue;
      }
      bytes += written;
      size -= static_cast<std::size_t>(written);
    }
#ifdef __linux__
    // Start writing the new blocks to the disk now, while the conversion goes on, so that the
    // sync before the input is deleted finds little left to wait for. Only a hint: any error
    // shows at that sync.
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  std::uint64_t size() const override {
    struct stat status;
    if (::fstat(fd_, &status) != 0) throw posix_failure("cannot read the size of", path_, errno);
    return static_cast<std::uint64_t>(status.st_size);
  }

  void truncate(std::uint64_t length) override {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      throw posix_failure("cannot truncate", path_, errno);
    }
  }

  void sync() override {
    if (::fsync(fd_) != 0) throw posix_failure("cannot sync", path_, errno);
  }

  FileIdentity identity() const override {
    struct stat status;
    if (::fstat(fd_, &status) != 0)
      throw posix_failure("cannot read the identity of", path_, errno);
    return identity_from(status);
  }

  void close() override {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw posix_failure("cannot close", path_, errno);
  }

  // Waits for the exclusive lock that keeps other runs from writing between this run's lines.
  void lock() {
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) throw posix_failure("cannot lock", path_, errno);
      after_interruption();
    }
  }

 private:
  int fd_;
  std::string path_;
};

class PosixFileSystem : public FileSystem {
 public:
  bool is_convertible_file(const std::string& path) override {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return last_component(path).compare(0, 1, ".") != 0;
  }

  std::unique_ptr<ReadableFile> open_input(const std::string& path) override {
    int fd = open_ordinary_file(path, O_RDONLY, "cannot open");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK)
        throw FileFailure("cannot open", path, error, "in use by another run");
      throw posix_failure("cannot lock", path, error);
    }
    return std::make_unique<PosixInput>(fd, path);
  }

  std::unique_ptr<WritableFile> open_main_output(const std::string& path) override {
    // Not emptied on opening: another run may still be writing it until its lock is ours.
    auto output = open_output(path, O_WRONLY | O_CREAT | O_NOFOLLOW, "cannot create");
    output->truncate(0);
    return output;
  }

  std::unique_ptr<WritableFile> open_split_output(const std::string& path) override {
    return open_output(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, "cannot append to");
  }

  void remove_input(ReadableFile& input, const std::string& path) override {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) throw posix_failure("cannot delete", path, errno);
    if (identity_from(status) != input.identity()) {
      throw FileFailure("cannot delete", path, ESTALE,
                        "the path names another file than the one converted");
    }
    // A file nobody may write is read-only: it stays, even for a user whom the system would
    // let remove it.
    if ((status.st_mode & 0222) == 0) throw posix_failure("cannot delete", path, EACCES);
    if (::unlink(path.c_str()) != 0) throw posix_failure("cannot delete", path, errno);
  }

  void sync_folder_of(const std::string& path) override {
    std::string folder = folder_of(path);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw posix_failure("cannot sync folder", folder, errno);
    int result = ::fsync(fd);
    int error = errno;
    ::close(fd);
    if (result != 0) throw posix_failure("cannot sync folder", folder, error);
  }

  std::string absolute_path(const std::string& path) override {
    if (!path.empty() && path[0] == '/') return path;
    std::unique_ptr<char, decltype(&std::free)> current(::getcwd(nullptr, 0), &std::free);
    if (!current) throw posix_failure("cannot find the current folder of", path, errno);
    return std::string(current.get()) + "/" + path;
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return identity_from(status);
  }

  std::optional<std::string> read_small_file(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ENOENT) return std::nullopt;
      throw posix_failure("cannot open", path, errno);
    }
    std::string content;
    char block[4096];
    for (;;) {
      ssize_t got = ::read(fd, block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        int error = errno;
        ::close(fd);
        throw posix_failure("cannot read", path, error);
      }
      if (got == 0) break;
      content.append(block, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
  }

  void write_small_file(const std::string& path, const std::string& content) override {
    // Written aside and renamed over the old one: a crash leaves the old file or the new one,
    // never a mixture.
    std::string temporary = path + ".new";
    {
      PosixOutput output(
          open_ordinary_file(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, "cannot create"),
          temporary);
      output.write(content.data(), content.size());
      output.sync();
      output.close();
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      throw posix_failure("cannot rename", temporary, errno);
    }
    sync_folder_of(path);
  }

  void remove_file(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw posix_failure("cannot delete", path, errno);
    }
  }

 private:
  std::unique_ptr<PosixOutput> open_output(const std::string& path, int flags,
                                           const char* what_failed) {
    auto output = std::make_unique<PosixOutput>(open_ordinary_file(path, flags, what_failed), path);
    output->lock();
    return output;
  }
};

}  // namespace

FileSystem& platform_file_system() {
  static PosixFileSystem files;
  return files;
}

}  // namespace textfile
