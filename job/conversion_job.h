#pragma once

#include <string>

#include "textfile/file_system.h"

namespace job {

enum class RunOutcome {
  // The input was converted and deleted.
  kConverted,
  // The argument names no file to convert (empty, missing, a folder, a hidden or special
  // file): nothing was touched.
  kNothingToDo,
};

// Converts the file the argument text names into its outputs, then deletes it.
//
// A failure throws textfile::FileFailure and a termination signal textfile::Interrupted, in
// both cases after the run has stopped: the input is never deleted then, the main output keeps
// the records written before, and the split output is cut back to where it was before the run.
// A failure at deletion itself leaves both outputs complete.
RunOutcome run_conversion(textfile::FileSystem& files, const std::string& argument_text);

}  // namespace job
