#pragma once

#include <string>

// Opening files without being stopped for good by what other programs hold: every wait in the
// POSIX layer is a safe point of the run.
namespace textfile::posix {

// The run's safe point, which a blocking call interrupted by a signal reaches too: stops the run
// for a termination signal or a writer that broke the input's lease.
void throw_if_interrupted_or_changed();

// Sleeps a moment between two looks at something another program holds, and stops the run
// meanwhile as a blocking wait would.
void pause_while_held();

// Opens without ever waiting on a FIFO or a device. With `wait_for_lease`, a file under another
// program's lease is waited for as a lock is. Gives -1 where it fails (errno set).
int open_retrying(const std::string& path, int flags, bool wait_for_lease = false);
// The same for `name` in the open folder `folder`.
int open_retrying_at(int folder, const std::string& name, int flags, bool wait_for_lease = false);

// Opens without ever waiting on a FIFO or a device, and insists on an ordinary file. Gives -1
// where opening fails with `expected_error`, and throws for any other.
int open_ordinary_file(const std::string& path, int flags, const char* what_failed,
                       int expected_error = 0);
// The same for `name` in the open folder `folder`; `path` names it in a failure.
int open_ordinary_file_at(int folder, const std::string& name, const std::string& path, int flags,
                          const char* what_failed, int expected_error = 0);

// True when `name` in the open folder `folder` still names the open file `fd`, asked afresh, and
// the file has not been deleted; `path` names it in a failure.
bool still_named_at(int fd, int folder, const std::string& name, const std::string& path,
                    int follow, const char* what_failed);

}  // namespace textfile::posix
