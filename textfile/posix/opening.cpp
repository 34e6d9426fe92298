#include "textfile/posix/opening.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>

#include "textfile/platform.h"
#include "textfile/posix/descriptor.h"
#include "textfile/posix/file_status.h"
#include "textfile/posix/input_lease.h"

namespace textfile::posix {

// The run's safe point, which a blocking call interrupted by a signal reaches too: stop the run
// for a termination signal or a writer that broke the input's lease; any other signal, and the
// call is simply tried again.
void throw_if_interrupted_or_changed() {
  if (int signal_number = pending_termination_signal()) throw Interrupted(signal_number);
  input_lease::throw_if_broken();
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
int open_retrying(const std::string& path, int flags, bool wait_for_lease) {
  return open_retrying_at(AT_FDCWD, path, flags, wait_for_lease);
}

int open_retrying_at(int folder, const std::string& name, int flags, bool wait_for_lease) {
  for (;;) {
    int fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
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
                       int expected_error) {
  return open_ordinary_file_at(AT_FDCWD, path, path, flags, what_failed, expected_error);
}

int open_ordinary_file_at(int folder, const std::string& name, const std::string& path, int flags,
                          const char* what_failed, int expected_error) {
  Descriptor fd(open_retrying_at(folder, name, flags, (flags & O_ACCMODE) != O_RDONLY));
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

// True when `name` in `folder` still names the open file `fd` and the file has not been deleted:
// between opening and locking, another run (on this host or another) may have converted and
// deleted it, or taken it back.
bool still_named_at(int fd, int folder, const std::string& name, const std::string& path,
                    int follow, const char* what_failed) {
  struct statx open_status;
  struct statx named_status;
  if (int error = status_of(fd, "", 0, open_status)) throw posix_failure(what_failed, path, error);
  if (open_status.stx_nlink == 0) return false;
  if (int error = named_status_of(folder, name, follow, named_status)) {
    if (error == ENOENT) return false;
    throw posix_failure(what_failed, path, error);
  }
  return same_file(named_status, open_status);
}

}  // namespace textfile::posix
