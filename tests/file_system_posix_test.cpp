// The POSIX file layer's guards on real files in temporary folders, with real system calls: each
// case changes a file the way another program would while a run holds it, then asks the layer to
// go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "temp_folder.h"
#include "textfile/failure_texts.h"
#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/posix/run_locks.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kChanged = textfile::failure_text::kChanged;
constexpr const char* kAside = ".zorvant-test.deleting";

textfile::FileSystem& files() { return textfile::platform_file_system(); }

// The error text `step` fails with, or "" when it succeeds.
std::string failure_of(const std::function<void()>& step) {
  try {
    step();
  } catch (const textfile::FileFailure& failure) {
    return failure.error_text();
  }
  return "";
}

// Opens `path` as a run's input and reads it up to `limit` bytes (to its end by default). The
// file is made a little earlier, so that a change now falls in a later tick of any clock.
std::unique_ptr<textfile::ReadableFile> open_and_read(const std::string& path,
                                                      std::size_t limit = SIZE_MAX) {
  std::this_thread::sleep_for(milliseconds(20));
  std::unique_ptr<textfile::ReadableFile> input = files().open_input(path);
  char block[64];
  std::size_t total = 0;
  while (total < limit) {
    std::size_t got = input->read(block, std::min(sizeof block, limit - total));
    if (got == 0) break;
    total += got;
  }
  return input;
}

// Opens `path` for writing as another program would, without waiting for anyone.
int open_as_writer(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

// A thread of the test's own that the run's signals never go to, as the program's own threads.
std::thread thread_without_signals(std::function<void()> body) {
  sigset_t blocked;
  sigset_t before;
  sigemptyset(&blocked);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGIO}) sigaddset(&blocked, signal_number);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  std::thread thread(std::move(body));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

// Anything done to the input while it was converted, even to its folder entry or its
// permissions alone, keeps it: the operator may have meant it for a later run.
TEST(GuardedDelete, InputChangedInAnyWayStays) {
  const struct {
    const char* change;
    std::function<int(const std::string&)> make;
    bool needs_root;
  } changes[] = {
      {"chmod", [](const std::string& p) { return ::chmod(p.c_str(), 0600); }, false},
      {"chown", [](const std::string& p) { return ::chown(p.c_str(), 65534, 65534); }, true},
      {"a second name", [](const std::string& p) { return ::link(p.c_str(), (p + "2").c_str()); },
       false},
      // More bytes than the run read: a file that grows within one tick of the clock keeps its
      // times, and only its size tells.
      {"bytes never read", [](const std::string&) { return 0; }, false},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.change);
    if (change.needs_root && ::geteuid() != 0) continue;
    TempFolder folder;
    const std::string input_path = folder.Path("A.dat");
    folder.Write("A.dat", std::string(300, 'x'));
    bool partial = std::string(change.change) == "bytes never read";
    auto input = open_and_read(input_path, partial ? 200 : SIZE_MAX);
    ASSERT_EQ(change.make(input_path), 0) << std::strerror(errno);
    EXPECT_EQ(failure_of([&] { input->remove(kAside); }), kChanged);
    EXPECT_TRUE(folder.Exists("A.dat"));
  }
}

// A folder link turned, during the run, to another file system whose file at the input's name has
// the input's number: a number is only the same file on the same file system.
TEST(GuardedDelete, FileOfTheSameNumberOnAnotherFileSystemIsNotTheInput) {
  // Mounts made in a namespace of this process's own, unseen outside it.
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "this user may not mount file systems: " << std::strerror(errno);
  }
  TempFolder folder;
  for (const char* name : {"one", "other"}) {
    folder.MakeFolder(name);
    ASSERT_EQ(::mount("tmpfs", folder.Path(name).c_str(), "tmpfs", 0, nullptr), 0);
    folder.Write(std::string(name) + "/A.dat", name);
  }
  struct stat one;
  struct stat other;
  ASSERT_EQ(::stat(folder.Path("one/A.dat").c_str(), &one), 0);
  ASSERT_EQ(::stat(folder.Path("other/A.dat").c_str(), &other), 0);
  ASSERT_EQ(one.st_ino, other.st_ino) << "two fresh file systems numbered their files apart";

  ASSERT_EQ(::symlink("one", folder.Path("d").c_str()), 0);
  const std::string input_path = folder.Path("d/A.dat");
  auto input = open_and_read(input_path);
  ASSERT_EQ(::symlink("other", folder.Path("d2").c_str()), 0);
  ASSERT_EQ(::rename(folder.Path("d2").c_str(), folder.Path("d").c_str()), 0);

  EXPECT_EQ(failure_of([&] { input->remove(kAside); }), textfile::failure_text::kAnotherFile);
  EXPECT_EQ(folder.Read("other/A.dat"), "other");
  input->close();
  for (const char* name : {"one", "other"}) ::umount2(folder.Path(name).c_str(), MNT_DETACH);
}

// A program that opens the input for writing gets in at once, whatever the run is busy with;
// the run stops at its next check.
TEST(InputLease, WriterGetsInWithoutWaitingForTheRun) {
  TempFolder folder;
  folder.Write("A.dat", "records");
  auto input = open_and_read(folder.Path("A.dat"));
  int writer = open_as_writer(folder.Path("A.dat"));
  if (writer >= 0) GTEST_SKIP() << "no lease on this file system";
  ASSERT_EQ(errno, EWOULDBLOCK);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (writer < 0 && errno == EWOULDBLOCK && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
    writer = open_as_writer(folder.Path("A.dat"));
  }
  EXPECT_GE(writer, 0) << "the writer still waits: " << std::strerror(errno);
  if (writer >= 0) ::close(writer);
  EXPECT_EQ(failure_of([] { files().throw_if_interrupted(); }), kChanged);
}

// A run waiting for an output's lock when a writer opens its input stops waiting at once: the
// main output held by another run as its main output, the split output held by another run as
// its own split output (which a run waits for).
TEST(InputLease, WriterEndsTheWaitForAnOutputLock) {
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "split output" : "main output");
    TempFolder folder;
    folder.Write("A.dat", "records");
    folder.Write("A.dat.txt", "");
    int holder = ::open(folder.Path("A.dat.txt").c_str(), O_RDWR | O_CLOEXEC);
    struct flock run_lock {};
    run_lock.l_type = F_WRLCK;
    run_lock.l_whence = SEEK_SET;
    run_lock.l_start = textfile::posix::run_locks::kRunByte;
    run_lock.l_len = 1;
    ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &run_lock), 0) << std::strerror(errno);
    auto input = open_and_read(folder.Path("A.dat"));
    const textfile::FileIdentity identity = input->identity();
    // The writer comes once the run waits; the holder lets go when the run has stopped waiting,
    // or much later, so that a wait that outlasts the writer ends anyway.
    std::atomic<bool> waited_out{false};
    std::thread other_programs = thread_without_signals([&] {
      std::this_thread::sleep_for(milliseconds(200));
      int writer = open_as_writer(folder.Path("A.dat"));
      if (writer >= 0) ::close(writer);
      const auto give_up = Clock::now() + std::chrono::seconds(3);
      while (!waited_out && Clock::now() < give_up) std::this_thread::sleep_for(milliseconds(10));
      ::close(holder);
    });
    const auto start = Clock::now();
    std::string failure = failure_of([&] {
      if (split) {
        files().open_split_output(folder.Path("A.dat.txt"), identity, textfile::FileIdentity{});
      } else {
        files().open_main_output(folder.Path("A.dat.txt"), identity);
      }
    });
    const auto waited = Clock::now() - start;
    waited_out = true;
    other_programs.join();
    EXPECT_EQ(failure, kChanged);
    EXPECT_LT(waited, milliseconds(1500));
  }
}

// The reading and writing threads never take a termination signal or the lease's signal: those
// must wake the converting thread wherever it waits.
TEST(BackgroundIo, ThreadsBlockTheSignalsThatStopARun) {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) < 2) {
    GTEST_SKIP() << "a process on one processor starts no such threads";
  }
  // Threads that are not the run's (a sanitizer starts one with the first thread) are left out.
  std::thread([] {}).join();
  std::set<std::filesystem::path> earlier;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    earlier.insert(task.path());
  }
  auto reading = files().start_background_io();
  auto writing = files().start_background_io();
  ASSERT_TRUE(reading && writing);
  // A new thread starts with every signal blocked until it runs and takes its own mask: each is
  // looked at only once it has done some work.
  reading->run<int>([] { return 0; }).get();
  writing->run<int>([] { return 0; }).get();
  int threads = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (earlier.count(task.path()) != 0) continue;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
    }
    unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGIO}) {
      EXPECT_TRUE(blocked & (1ull << (signal_number - 1)))
          << "thread " << task.path().filename() << " takes signal " << signal_number;
    }
    ++threads;
  }
  EXPECT_EQ(threads, 2);
}

// A process that may run on one processor only gets no thread to write behind its conversion:
// the thread could only run in turn with it.
TEST(BackgroundIo, NoThreadWhereTheProcessHasOneProcessor) {
  cpu_set_t before;
  ASSERT_EQ(::sched_getaffinity(0, sizeof before, &before), 0);
  if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "this test runs on one processor already";
  int first = 0;
  while (!CPU_ISSET(first, &before)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const bool thread_on_one = files().start_background_io() != nullptr;
  ASSERT_EQ(::sched_setaffinity(0, sizeof before, &before), 0);
  EXPECT_FALSE(thread_on_one);
  EXPECT_NE(files().start_background_io(), nullptr);
}

// An undo record is acted on only where nobody but this program could have written it.
TEST(UndoRecordFile, IsReadOnlyWhereOnlyThisProgramCouldHaveWrittenIt) {
  TempFolder folder;
  folder.Write("A.dat.txt", "");
  auto output = files().open_main_output(folder.Path("A.dat.txt"), textfile::FileIdentity{});
  const std::string record = folder.Path(".A.dat.txt.undo");
  const struct {
    const char* kind;
    std::function<int()> make;
    const char* refusal;
    bool needs_root;
  } kinds[] = {
      {"writable by the group", [&] { return ::chmod(record.c_str(), 0664); },
       textfile::failure_text::kWritableByOthers, false},
      {"writable by anyone", [&] { return ::chmod(record.c_str(), 0666); },
       textfile::failure_text::kWritableByOthers, false},
      {"another user's", [&] { return ::chown(record.c_str(), 65534, 65534); },
       textfile::failure_text::kOwnedByAnotherUser, true},
      {"a FIFO", [&] { return ::unlink(record.c_str()) || ::mkfifo(record.c_str(), 0600); },
       textfile::failure_text::kNotAnOrdinaryFile, false},
      {"a folder", [&] { return ::unlink(record.c_str()) || ::mkdir(record.c_str(), 0700); },
       textfile::failure_text::kNotAnOrdinaryFile, false},
      {"a symbolic link",
       [&] { return ::unlink(record.c_str()) || ::symlink("A.dat.txt", record.c_str()); },
       textfile::failure_text::kNotAnOrdinaryFile, false},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    if (kind.needs_root && ::geteuid() != 0) continue;
    std::filesystem::remove_all(record);
    folder.Write(".A.dat.txt.undo", "zorvant undo 3\n");
    ::chmod(record.c_str(), 0644);
    ASSERT_EQ(kind.make(), 0) << std::strerror(errno);
    EXPECT_EQ(failure_of([&] { output->read_trusted_file(".A.dat.txt.undo"); }), kind.refusal);
  }
  // A mount that shows every file writable by all shows the output so too: a record no more
  // writable than the output adds nothing another user could not do to the output itself.
  std::filesystem::remove_all(record);
  folder.Write(".A.dat.txt.undo", "zorvant undo 3\n");
  ASSERT_EQ(::chmod(record.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(folder.Path("A.dat.txt").c_str(), 0664), 0);
  EXPECT_EQ(failure_of([&] { output->read_trusted_file(".A.dat.txt.undo"); }),
            textfile::failure_text::kWritableByOthers);
  ASSERT_EQ(::chmod(folder.Path("A.dat.txt").c_str(), 0666), 0);
  EXPECT_EQ(output->read_trusted_file(".A.dat.txt.undo"), "zorvant undo 3\n");
}

// A record that could not be written whole leaves nothing half made behind.
TEST(UndoRecordFile, FailedReplacementLeavesNoTemporaryFile) {
  TempFolder folder;
  folder.Write("A.dat.txt", "");
  folder.Write(".A.dat.txt.undo/in the way", "");
  auto output = files().open_main_output(folder.Path("A.dat.txt"), textfile::FileIdentity{});
  EXPECT_NE(failure_of([&] { output->write_file_beside(".A.dat.txt.undo", "r"); }), "");
  EXPECT_FALSE(folder.Exists(".A.dat.txt.undo.new"));
}

}  // namespace
