#pragma once

#include <sys/types.h>

#include <string>

// The locks that keep runs apart, one scheme on every file system: byte-range locks of open
// file descriptions, which the NFS lock manager (v3), NFS v4 itself and SMB carry between hosts,
// and which the system takes as it takes any other on local files. Each lock has a byte of its
// own, far past any file's end, so that no lock of the data meets them and a look for one never
// finds another (where flock is carried as a lock of the whole file, it would). A kernel without
// such locks (before Linux 3.15) gets flock's, as before: runs on one host are kept apart.
namespace textfile::posix::run_locks {

// The byte a run locks in each of its files: the input read-locked, an output write-locked.
constexpr off_t kRunByte = static_cast<off_t>(1) << 40;
// The byte a run write-locks in its main output besides: a run waiting for that file as its
// split output sees that it would wait for a run that may be waiting for it.
constexpr off_t kMainOutputByte = kRunByte + 1;

// Locks the input against every other run without waiting: a write lock through `write_fd`, the
// file open for writing, where there is one (-1: none). A descriptor open for reading only, `fd`,
// may take only a read lock; the run then looks for another run's lock at that byte, which
// conflicts with a write lock it asks about. Two runs that lock at once may both fail, but never
// both go on. False, holding nothing, where another run holds the file; throws for any other
// failure.
bool lock_input(int fd, int write_fd, const std::string& path);

// Waits for the output `fd`'s lock, ending the wait at a termination signal or a writer of the
// input (the run's safe point), then marks the file as this run's main output.
void lock_main_output(int fd, const std::string& path);

// Takes the output `fd`'s lock for a split output, waiting while the holder does not hold the
// file as its main output; fails with "in use by another run" where it does.
void lock_split_output(int fd, const std::string& path, const char* what_failed);

}  // namespace textfile::posix::run_locks
