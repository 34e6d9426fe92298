#pragma once

#include <exception>
#include <string>

namespace textfile {

// A file operation that failed: what was attempted, on which path, and the system's own error
// number and text. Thrown by the file layer; only the program's entry point catches it to report.
class FileFailure : public std::exception {
 public:
  FileFailure(std::string what_failed, std::string path, int error_number, std::string error_text);

  const char* what() const noexcept override { return what_failed_.c_str(); }
  const std::string& what_failed() const { return what_failed_; }
  const std::string& path() const { return path_; }
  int error_number() const { return error_number_; }
  const std::string& error_text() const { return error_text_; }

 private:
  std::string what_failed_;
  std::string path_;
  int error_number_;
  std::string error_text_;
};

}  // namespace textfile
