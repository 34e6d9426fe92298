#include "textfile/posix/run_locks.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "textfile/failure_texts.h"
#include "textfile/file_failure.h"
#include "textfile/posix/file_status.h"
#include "textfile/posix/opening.h"

namespace textfile::posix::run_locks {
namespace {

enum class Outcome { kTaken, kHeld, kNoSuchLocks };

struct flock lock_of(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// Never waits in the system: a wait for a lock that NFS carries ends only at SIGKILL. The run
// waits in pause_while_held instead, which ends at every safe point.
Outcome try_lock(int fd, short type, off_t byte, const std::string& path) {
  struct flock lock = lock_of(type, byte);
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return Outcome::kTaken;
    if (errno == EINTR) {
      throw_if_interrupted_or_changed();
      continue;
    }
    if (errno == EAGAIN || errno == EACCES) return Outcome::kHeld;
    if (errno == EINVAL) return Outcome::kNoSuchLocks;
    throw posix_failure("cannot lock", path, errno);
  }
}

// Someone else's lock of the byte, that a lock of `type` would wait for.
bool held_by_another(int fd, short type, off_t byte) {
  struct flock lock = lock_of(type, byte);
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

void unlock(int fd, off_t byte) {
  struct flock lock = lock_of(F_UNLCK, byte);
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

// Older kernels: the whole file's flock, as runs took it before.
bool try_flock(int fd, const std::string& path) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) throw posix_failure("cannot lock", path, errno);
    throw_if_interrupted_or_changed();
  }
}

// Takes the output's write lock, waiting while `keep_waiting` says so.
template <typename KeepWaiting>
void lock_output(int fd, const std::string& path, KeepWaiting keep_waiting) {
  for (;;) {
    switch (try_lock(fd, F_WRLCK, kRunByte, path)) {
      case Outcome::kTaken:
        return;
      case Outcome::kNoSuchLocks:
        while (!try_flock(fd, path)) pause_while_held();
        return;
      case Outcome::kHeld:
        keep_waiting();
        pause_while_held();
    }
  }
}

}  // namespace

bool lock_input(int fd, int write_fd, const std::string& path) {
  if (write_fd >= 0) {
    switch (try_lock(write_fd, F_WRLCK, kRunByte, path)) {
      case Outcome::kTaken:
        return true;
      case Outcome::kHeld:
        return false;
      case Outcome::kNoSuchLocks:
        break;
    }
  }
  switch (try_lock(fd, F_RDLCK, kRunByte, path)) {
    case Outcome::kNoSuchLocks:
      return try_flock(fd, path);
    case Outcome::kHeld:
      return false;
    case Outcome::kTaken:
      break;
  }
  if (!held_by_another(fd, F_WRLCK, kRunByte)) return true;
  unlock(fd, kRunByte);
  return false;
}

void lock_main_output(int fd, const std::string& path) {
  lock_output(fd, path, [] {});
  // Where the file system has no such locks: no mark, and a crossing run waits.
  struct flock mark = lock_of(F_WRLCK, kMainOutputByte);
  ::fcntl(fd, F_OFD_SETLK, &mark);
}

// A run holds its main output's lock when it asks for its split output's, so two runs whose
// outputs cross (each one's split output the other's main output) would wait for each other
// forever. A run that holds a file as its split output waits for nothing more, and is waited
// for; a file another run holds as its main output fails at once.
void lock_split_output(int fd, const std::string& path, const char* what_failed) {
  lock_output(fd, path, [&] {
    if (held_by_another(fd, F_WRLCK, kMainOutputByte)) {
      throw FileFailure(what_failed, path, EWOULDBLOCK, textfile::failure_text::kInUseByAnotherRun);
    }
  });
}

}  // namespace textfile::posix::run_locks
