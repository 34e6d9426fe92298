#include "textfile/file_failure.h"

#include <utility>

namespace textfile {

FileFailure::FileFailure(std::string what_failed, std::string path, int error_number,
                         std::string error_text)
    : std::runtime_error(what_failed + " '" + path + "': " + error_text),
      what_failed_(std::move(what_failed)),
      path_(std::move(path)),
      error_number_(error_number),
      error_text_(std::move(error_text)) {}

Interrupted::Interrupted(int signal_number)
    : std::runtime_error("interrupted by a signal"), signal_number_(signal_number) {}

}  // namespace textfile
