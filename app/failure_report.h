#pragma once

#include <string>

#include "textfile/file_failure.h"

namespace app {

// The one line that reports a failed run:
//   zorvant: <what failed> '<path>': <system error text> (error <number>)
std::string failure_report(const textfile::FileFailure& failure);

}  // namespace app
