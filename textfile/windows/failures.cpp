#include "textfile/windows/failures.h"

#include "textfile/failure_texts.h"
#include "textfile/windows/windows_text.h"

namespace textfile::windows {

FileFailure windows_failure(const std::string& what_failed, const std::string& path, DWORD error) {
  return FileFailure(what_failed, path, static_cast<int>(error), system_error_text(error));
}

FileFailure last_failure(const std::string& what_failed, const std::string& path) {
  return windows_failure(what_failed, path, ::GetLastError());
}

FileFailure another_file(const std::string& path) {
  return FileFailure("cannot delete", path, ERROR_FILE_INVALID,
                     textfile::failure_text::kAnotherFile);
}

FileFailure untrusted(const std::string& path, const char* why) {
  return FileFailure("cannot trust", path, ERROR_ACCESS_DENIED, why);
}

bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace textfile::windows
