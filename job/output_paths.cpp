#include "job/output_paths.h"

#include "job/job_constants.h"

namespace job {

bool is_marked_input(const std::string& input_path) {
  return input_path.find(kInputMarker) != std::string::npos;
}

std::string main_output_path(const std::string& input_path) { return input_path + kOutputSuffix; }

std::string split_output_path(const std::string& input_path) {
  std::string::size_type marker = input_path.find(kInputMarker);
  if (marker == std::string::npos) return std::string();
  std::string path = main_output_path(input_path);
  path.replace(marker, sizeof kSplitMarker - 1, kSplitMarker);
  return path;
}

std::string undo_record_path(const std::string& output_path) {
  std::string::size_type slash = output_path.find_last_of("/\\");
  std::string::size_type name = slash == std::string::npos ? 0 : slash + 1;
  return output_path.substr(0, name) + "." + output_path.substr(name) + ".undo";
}

}  // namespace job
