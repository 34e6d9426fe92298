#include "app/failure_report.h"

namespace app {

std::string failure_report(const textfile::FileFailure& failure) {
  return "zorvant: " + failure.what_failed() + " '" + failure.path() +
         "': " + failure.error_text() + " (error " + std::to_string(failure.error_number()) + ")";
}

}  // namespace app
