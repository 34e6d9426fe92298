#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "textfile/file_failure.h"
#include "textfile/platform.h"

namespace textfile {
namespace {

constexpr int kWatchedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

volatile std::sig_atomic_t pending_signal = 0;

// False when the program was started without standard error.
bool standard_error_open = true;

bool write_all(int fd, const std::string& text) {
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(fd, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

extern "C" void remember_signal(int signal_number) {
  if (pending_signal == 0) pending_signal = signal_number;
}

}  // namespace

std::string argument_text(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

std::size_t last_component_start(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

void watch_for_interruptions() {
  for (int signal_number : kWatchedSignals) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0) continue;
    // A signal the caller chose to ignore (nohup, a file size limit it expects to hit) keeps
    // being ignored.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction watch {};
    watch.sa_handler = remember_signal;
    sigemptyset(&watch.sa_mask);
    // No SA_RESTART: a run waiting for a lock must wake up to stop.
    watch.sa_flags = 0;
    ::sigaction(signal_number, &watch, nullptr);
  }
}

int pending_termination_signal() { return pending_signal; }

void end_with_signal(int signal_number) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal_number, &fallback, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal_number);
  std::_Exit(128 + signal_number);
}

void guard_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDERR_FILENO) standard_error_open = false;
    // The lowest free number is this one, the streams before it being open by now.
    int null_device = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_device >= 0 && null_device != fd) {
      ::dup2(null_device, fd);
      ::close(null_device);
    }
  }
}

void show_failure_report(const std::string& line) {
  if (standard_error_open && write_all(STDERR_FILENO, line + "\n")) return;
  ::openlog("zorvant", LOG_PID, LOG_USER);
  ::syslog(LOG_ERR, "%s", line.c_str());
  ::closelog();
}

}  // namespace textfile
