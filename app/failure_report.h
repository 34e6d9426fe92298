#pragma once

#include <exception>
#include <string>

#include "textfile/file_failure.h"

namespace app {

// The one line that reports a failed run:
//   zorvant: <what failed> '<path>': <system error text> (error <number>)
// Control characters in the path or the text are written as escapes (\n, \t, \xHH), so that
// it stays one line.
std::string failure_report(const textfile::FileFailure& failure);

// The line for a run on `input_path` that ran out of memory, in the same form:
//   zorvant: cannot convert '<input>': out of memory (error 12)
std::string out_of_memory_report(const std::string& input_path);
// Any other failure that reaches the program's entry, in one line: "zorvant: <its text>".
std::string unexpected_failure_report(const std::exception& failure);

}  // namespace app
