// Holds one file as a run holds it, for the reliability cases to play another run: the input's
// lock, or an output's lock with the main output's mark, until it is killed.
//
//   zorvant_lock_holder input|output PATH
//
// Prints "held" once the lock is taken.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "textfile/posix/run_locks.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zorvant_lock_holder input|output PATH\n");
    return 2;
  }
  const std::string kind = argv[1];
  const std::string path = argv[2];
  int fd = kind == "input" ? ::open(path.c_str(), O_RDONLY)
                           : ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    std::perror(path.c_str());
    return 1;
  }
  try {
    if (kind == "input") {
      if (!textfile::posix::run_locks::lock_input(fd, -1, path)) {
        std::fprintf(stderr, "%s: held by another\n", path.c_str());
        return 1;
      }
    } else {
      textfile::posix::run_locks::lock_main_output(fd, path);
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (;;) ::pause();
}
