#include "app/failure_report.h"

#include <cerrno>
#include <cstdio>

namespace app {
namespace {

constexpr char kProgramName[] = "zorvant";

// The report is one line whatever a path holds: control characters are written as C escapes
// (a new line as \n, a tab as \t, others as \xHH). Every other byte stands as it is.
std::string quoted(const std::string& text) {
  std::string line;
  for (unsigned char byte : text) {
    if (byte >= 0x20 && byte != 0x7f) {
      line += static_cast<char>(byte);
    } else if (byte == '\n') {
      line += "\\n";
    } else if (byte == '\r') {
      line += "\\r";
    } else if (byte == '\t') {
      line += "\\t";
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      line += escape;
    }
  }
  return line;
}

}  // namespace

std::string failure_report(const textfile::FileFailure& failure) {
  return std::string(kProgramName) + ": " + failure.what_failed() + " '" + quoted(failure.path()) +
         "': " + quoted(failure.error_text()) + " (error " +
         std::to_string(failure.error_number()) + ")";
}

std::string out_of_memory_report(const std::string& input_path) {
  return failure_report(
      textfile::FileFailure("cannot convert", input_path, ENOMEM, "out of memory"));
}

std::string unexpected_failure_report(const std::exception& failure) {
  return std::string(kProgramName) + ": " + quoted(failure.what());
}

}  // namespace app
