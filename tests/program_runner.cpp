#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Only async-signal-safe calls between fork and exec: report and bail out.
[[noreturn]] void ChildFail(const char* what) {
  const char* text = std::strerror(errno);
  (void)!write(2, "program_runner: ", 16);
  (void)!write(2, what, std::strlen(what));
  (void)!write(2, ": ", 2);
  (void)!write(2, text, std::strlen(text));
  (void)!write(2, "\n", 1);
  _exit(127);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  RunResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.err = "program_runner: pipe failed";
    return result;
  }

  // Build argv before forking: no allocation in the child.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0) ChildFail("stdin");
    if (dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) ChildFail("dup2");
    if (options.close_stderr) close(2);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
      ChildFail("chdir");
    }
    if (options.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) ChildFail("setrlimit");
      signal(SIGXFSZ, SIG_IGN);
    }
    execv(program.c_str(), argv.data());
    ChildFail("execv");
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = "program_runner: fork failed";
    return result;
  }

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;  // poll ignores negative descriptors
        --open_count;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }

  // The child may close its pipes and still hang, so the deadline holds here too.
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, result.timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return result;
    if (done == 0 && std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
    } else if (done == 0) {
      usleep(1000);
    }
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}
