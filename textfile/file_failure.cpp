#include "textfile/file_failure.h"

#include <utility>

namespace textfile {

FileFailure::FileFailure(std::string what_failed, std::string path, int error_number,
                         std::string error_text)
    : what_failed_(std::move(what_failed)),
      path_(std::move(path)),
      error_number_(error_number),
      error_text_(std::move(error_text)) {}

}  // namespace textfile
