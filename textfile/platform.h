#pragma once

#include <cstddef>
#include <exception>
#include <string>

// The few things besides files that the program needs from its platform.
namespace textfile {

// A termination signal arrived during the run. The run stops at the next safe point, undoes what
// it must, and the program then ends with that signal's own status.
class Interrupted : public std::exception {
 public:
  explicit Interrupted(int signal_number) : signal_number_(signal_number) {}
  const char* what() const noexcept override { return "interrupted by a signal"; }
  int signal_number() const { return signal_number_; }

 private:
  int signal_number_;
};

// The program's whole argument text, as one string: everything after the program's own name.
// On POSIX the arguments are joined with one blank between each; no argument gives "".
std::string argument_text(int argc, char** argv);

// Where the last component of `path` (the file's own name) begins, by the platform's path
// syntax: after the last "/", on Windows also after a backslash or a drive's ":"; 0 for a bare
// name.
std::size_t last_component_start(const std::string& path);

// From here on, a termination signal (interrupt, terminate, hang-up, broken pipe, file size
// limit) no longer ends the process at once: it is remembered, and the file layer turns it into
// textfile::Interrupted at the run's next safe point (FileSystem::throw_if_interrupted). A
// signal the program was started with ignored stays ignored.
void watch_for_interruptions();
// The termination signal that has arrived since, or 0.
int pending_termination_signal();

// Ends the process with the status the signal itself gives, as if it had never been caught.
[[noreturn]] void end_with_signal(int signal_number);

// Opens the null device on each of the three standard streams the program was started without,
// so that no file of the run takes one of their numbers (a report written to standard error
// would go into it). Called first thing.
void guard_standard_streams();

// Shows the one-line failure report where the operator will see it: on standard error, or where
// there is none (closed, or writing to it fails), in the system log on POSIX (identity
// "zorvant", facility user, priority err) and in a message box on Windows.
void show_failure_report(const std::string& line);

}  // namespace textfile
