#include "textfile/posix/posix_output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "textfile/failure_texts.h"
#include "textfile/posix/descriptor.h"
#include "textfile/posix/file_status.h"
#include "textfile/posix/held_folder.h"
#include "textfile/posix/opening.h"
#include "textfile/posix/paths.h"
#include "textfile/posix/run_locks.h"

namespace textfile::posix {
namespace {

// Only this program, run by the output's owner, by the running user or by the system
// administrator, could have written the file, and nobody could have changed it since who could not
// change the output itself. A mount that shows every file writable by all (SMB with file_mode=0777,
// FAT with umask=000) shows the output so too: there its records are taken, as the output is;
// where permissions mean something, a record that more users may write than the output is not.
void throw_unless_trusted(int fd, const std::string& path, int output_fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) throw posix_failure("cannot read", path, errno);
  if (!S_ISREG(status.st_mode)) {
    throw FileFailure("cannot trust", path, EPERM, textfile::failure_text::kNotAnOrdinaryFile);
  }
  struct stat output_status {};
  bool output_known = ::fstat(output_fd, &output_status) == 0;
  if (status.st_uid != ::geteuid() && status.st_uid != 0 &&
      !(output_known && status.st_uid == output_status.st_uid)) {
    throw FileFailure("cannot trust", path, EPERM, textfile::failure_text::kOwnedByAnotherUser);
  }
  const mode_t writable_by_others = S_IWGRP | S_IWOTH;
  const mode_t output_writable_by_others =
      output_known ? output_status.st_mode & writable_by_others : 0;
  if (status.st_mode & writable_by_others & ~output_writable_by_others) {
    throw FileFailure("cannot trust", path, EPERM, textfile::failure_text::kWritableByOthers);
  }
}

class PosixOutput : public WritableFile {
 public:
  // `folder` is the folder the file was opened in, or null for a file of this layer's own that
  // nothing is made beside.
  PosixOutput(std::shared_ptr<HeldFolder> folder, int fd, std::string path, bool created = false)
      : folder_(std::move(folder)),
        fd_(fd),
        path_(std::move(path)),
        created_(created),
        hint_write_back_(!held_in_memory(fd)) {}
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
    // shows at that sync. A file held in memory has nowhere to write back to.
    if (hint_write_back_) ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
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

  FileIdentity folder_identity() const override { return folder_->identity(); }

  bool created() const override { return created_; }

  std::uint64_t name_count() const override {
    struct stat status;
    if (::fstat(fd_.get(), &status) != 0) throw posix_failure("cannot look up", path_, errno);
    return static_cast<std::uint64_t>(status.st_nlink);
  }

  void remove() override { folder_->remove_if_named(folder_->name(), identity(), path_); }

  void sync_folder() override { folder_->sync(folder_of(path_)); }

  std::optional<std::string> read_trusted_file(const std::string& name) const override;
  void write_file_beside(const std::string& name, const std::string& content) override;
  void append_to_file_beside(const std::string& name, const std::string& content) override;

  void remove_file_beside(const std::string& name) override {
    if (::unlinkat(folder_->fd(), name.c_str(), 0) != 0 && errno != ENOENT) {
      throw posix_failure("cannot delete", folder_->path_of(name), errno);
    }
  }

  void close() override {
    int fd = fd_.release();
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
      throw posix_failure("cannot close", path_, errno);
    }
  }

  int fd() const { return fd_.get(); }

 private:
  std::shared_ptr<HeldFolder> folder_;
  Descriptor fd_;
  std::string path_;
  bool created_;
  bool hint_write_back_;
};

// A file beside the output, never through a link, opened only when it could be trusted; -1 for
// a missing file.
int open_trusted_at(int folder, const std::string& name, const std::string& path, int flags,
                    int output_fd) {
  Descriptor fd(open_retrying_at(folder, name, flags | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return -1;
    if (errno != ELOOP) throw posix_failure("cannot open", path, errno);
    throw FileFailure("cannot trust", path, EPERM, textfile::failure_text::kNotAnOrdinaryFile);
  }
  throw_unless_trusted(fd.get(), path, output_fd);
  return fd.release();
}

std::optional<std::string> PosixOutput::read_trusted_file(const std::string& name) const {
  const std::string path = folder_->path_of(name);
  Descriptor fd(open_trusted_at(folder_->fd(), name, path, O_RDONLY, fd_.get()));
  if (fd.get() < 0) return std::nullopt;
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

// Ten seconds of pause_while_held.
constexpr int kTriesWhileNameStays = 500;

// Written aside and renamed over the old one: a crash leaves the old file or the new one,
// never a mixture. The file aside is made afresh, so that nothing someone left at its name (a
// link to a file of theirs or of ours) is written through; nobody else may write it.
void PosixOutput::write_file_beside(const std::string& name, const std::string& content) {
  const int folder = folder_->fd();
  const std::string temporary = name + ".new";
  const std::string temporary_path = folder_->path_of(temporary);
  int fd = -1;
  // An SMB client keeps a file open a moment after it was closed: the name of a file that a run
  // killed on another host left stays, deleted, until that host lets go (a second by default).
  for (int tries = 0; fd < 0; ++tries) {
    if (::unlinkat(folder, temporary.c_str(), 0) != 0 && errno != ENOENT) {
      throw posix_failure("cannot delete", temporary_path, errno);
    }
    fd = ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
    if (fd >= 0) break;
    if (errno != EEXIST || tries == kTriesWhileNameStays) {
      throw posix_failure("cannot create", temporary_path, errno);
    }
    pause_while_held();
  }
  try {
    write_and_close(fd, temporary_path, content);
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
      throw posix_failure("cannot rename", temporary_path, errno);
    }
  } catch (const FileFailure&) {
    ::unlinkat(folder, temporary.c_str(), 0);  // this run's own, half made: nothing to keep
    throw;
  }
}

void PosixOutput::append_to_file_beside(const std::string& name, const std::string& content) {
  const std::string path = folder_->path_of(name);
  int fd = open_trusted_at(folder_->fd(), name, path, O_WRONLY | O_APPEND, fd_.get());
  if (fd < 0) throw posix_failure("cannot append to", path, ENOENT);
  write_and_close(fd, path, content);
}

// Files this run holds already are refused, rather than waited for on their own lock. The
// path is looked at before opening too: opening the leased input for writing would break
// this run's own lease.
void throw_if_held(const struct statx& status, const std::string& path, const char* what_failed,
                   const FileIdentity& input, const FileIdentity* main_output) {
  if (same_file(status, input))
    throw FileFailure(what_failed, path, EINVAL, textfile::failure_text::kIsTheInput);
  if (main_output != nullptr && same_file(status, *main_output)) {
    throw FileFailure(what_failed, path, EINVAL, textfile::failure_text::kIsTheMainOutput);
  }
}

}  // namespace

// Opens, creating it when missing, and locks an output. A file whose name another run took
// away while this one waited for its lock is let go and the path opened afresh: records
// written into a file without a name would be lost.
// The folder is opened first and held: the file is opened, and later removed and written beside,
// in that very folder.
std::unique_ptr<WritableFile> open_output(const std::string& path, int flags,
                                          const char* what_failed, const FileIdentity& input,
                                          const FileIdentity* main_output) {
  flags |= O_NOFOLLOW;
  auto folder = std::make_shared<HeldFolder>(path, what_failed);
  const int at = folder->fd();
  const std::string& name = folder->name();
  for (;;) {
    struct statx status;
    if (status_of(at, name, AT_SYMLINK_NOFOLLOW, status) == 0) {
      throw_if_held(status, path, what_failed, input, main_output);
    }
    bool created = true;
    int fd = open_ordinary_file_at(at, name, path, flags | O_CREAT | O_EXCL, what_failed, EEXIST);
    if (fd < 0) {
      created = false;
      fd = open_ordinary_file_at(at, name, path, flags, what_failed, ENOENT);
      if (fd < 0) continue;  // removed in between: made afresh
    }
    auto output = std::make_unique<PosixOutput>(folder, fd, path, created);
    if (int error = status_of(fd, "", 0, status)) throw posix_failure(what_failed, path, error);
    throw_if_held(status, path, what_failed, input, main_output);
    if (main_output == nullptr) {
      run_locks::lock_main_output(output->fd(), path);
    } else {
      run_locks::lock_split_output(output->fd(), path, what_failed);
    }
    if (still_named_at(fd, at, name, path, AT_SYMLINK_NOFOLLOW, what_failed)) return output;
  }
}

void write_and_close(int fd, const std::string& path, const std::string& content) {
  PosixOutput output(nullptr, fd, path);
  output.write(content.data(), content.size());
  output.sync();
  output.close();
}

}  // namespace textfile::posix
