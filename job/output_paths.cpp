#include "job/output_paths.h"

#include <cinttypes>
#include <cstdio>

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

std::string undo_record_path(const textfile::FileSystem& files, const std::string& output_path) {
  std::size_t name_start = files.file_name_start(output_path);
  std::string output_name = output_path.substr(name_start);
  std::string name = "." + output_name + ".undo";
  // The record is written as "<name>.new" first, and that too must be a name the file system
  // takes: a long output name gets a short record name made from a hash of it (FNV-1a).
  if (name.size() + sizeof ".new" - 1 > kLongestFileName) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : output_name) hash = (hash ^ byte) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, hash);
    name = ".zorvant-" + std::string(hex) + ".undo";
  }
  return output_path.substr(0, name_start) + name;
}

}  // namespace job
