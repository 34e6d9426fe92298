#include "textfile/posix/input_lease.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <csignal>

#include "textfile/failure_texts.h"
#include "textfile/file_failure.h"

namespace textfile::input_lease {
namespace {

volatile std::sig_atomic_t broken = 0;
volatile std::sig_atomic_t leased_fd = -1;
std::string leased_path;

// Released here and now, so that the writer goes on at once, whatever the run is doing (a long
// sync, a wait for a lock); the run itself stops at its next check.
extern "C" void remember_break(int) {
  int saved_errno = errno;
  broken = 1;
#ifdef F_SETLEASE
  if (leased_fd >= 0) ::fcntl(leased_fd, F_SETLEASE, F_UNLCK);
#endif
  errno = saved_errno;
}

// The system tells of a break with SIGIO, whose default action ends the process: it is caught
// instead, without SA_RESTART, so that a run waiting for an output's lock wakes up to act on it.
bool watch_for_breaks() {
  struct sigaction watch {};
  watch.sa_handler = remember_break;
  sigemptyset(&watch.sa_mask);
  watch.sa_flags = 0;
  return ::sigaction(SIGIO, &watch, nullptr) == 0;
}

}  // namespace

void take(int fd, const std::string& path, bool shared) {
#ifdef F_SETLEASE
  if (!watch_for_breaks()) return;
  broken = 0;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    leased_fd = fd;
    leased_path = path;
    return;
  }
  // A read lease is refused with EAGAIN exactly when someone has the file open for writing, on
  // a file system of this host's own.
  if (errno == EAGAIN && !shared)
    throw FileFailure("cannot open", path, EAGAIN, textfile::failure_text::kInUseByAnotherProgram);
#else
  (void)fd;
  (void)path;
  (void)shared;
#endif
}

void let_go() {
  throw_if_broken();
#ifdef F_SETLEASE
  if (leased_fd >= 0) ::fcntl(leased_fd, F_SETLEASE, F_UNLCK);
#endif
  forget();
}

void throw_if_broken() {
  if (broken == 0 || leased_fd < 0) return;
  std::string path = leased_path;
  forget();
  throw FileFailure("cannot convert", path, ESTALE, textfile::failure_text::kChanged);
}

void forget() {
  leased_fd = -1;
  leased_path.clear();
}

}  // namespace textfile::input_lease
