// Runs the zorvant binary as a child process so the end-to-end tests see
// exactly what a user would: exit status, stdout and stderr.
#ifndef ZORVANT_TESTS_PROGRAM_RUNNER_H_
#define ZORVANT_TESTS_PROGRAM_RUNNER_H_

#include <string>
#include <vector>

struct RunOptions {
  // Folder the child starts in; empty keeps the test's own.
  std::string working_directory;
  // When >= 0, RLIMIT_FSIZE for the child (bytes), with SIGXFSZ ignored so
  // an oversized write fails with EFBIG instead of killing the child.
  long long file_size_limit = -1;
  // A hung child (e.g. one that opened a FIFO) is killed after this long.
  int timeout_seconds = 10;
  // Starts the child without standard error (its report then goes elsewhere).
  bool close_stderr = false;
};

struct RunResult {
  int exit_code = -1;   // -1 unless the child exited normally
  int term_signal = 0;  // signal that ended the child, if any
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs `program` with argv[1..] = `args`; stdin is /dev/null.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

#endif  // ZORVANT_TESTS_PROGRAM_RUNNER_H_
