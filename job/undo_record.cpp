#include "job/undo_record.h"

#include <cinttypes>
#include <cstdio>

namespace job {
namespace {

constexpr char kHeader[] = "zorvant undo 1\n";

}  // namespace

// One line of numbers after the header, then the input path as it stands (it may hold any
// byte, new lines included), then a closing line that shows the record was written whole.
std::string UndoRecord::encode() const {
  char numbers[128];
  std::snprintf(numbers, sizeof numbers,
                "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %zu\n", split_length,
                split_identity.volume, split_identity.index, input_identity.volume,
                input_identity.index, input_path.size());
  return kHeader + std::string(numbers) + input_path + "\nend\n";
}

std::optional<UndoRecord> UndoRecord::decode(const std::string& text) {
  const std::string header = kHeader;
  if (text.compare(0, header.size(), header) != 0) return std::nullopt;
  UndoRecord record;
  std::size_t path_size = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str() + header.size(),
                  "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %zu%n",
                  &record.split_length, &record.split_identity.volume, &record.split_identity.index,
                  &record.input_identity.volume, &record.input_identity.index, &path_size,
                  &consumed) != 6 ||
      consumed == 0) {
    return std::nullopt;
  }
  std::size_t numbers_end = header.size() + static_cast<std::size_t>(consumed);
  if (text.size() <= numbers_end || text[numbers_end] != '\n') return std::nullopt;
  std::size_t path_start = numbers_end + 1;
  if (text.size() != path_start + path_size + 5 ||
      text.compare(path_start + path_size, 5, "\nend\n") != 0) {
    return std::nullopt;
  }
  record.input_path = text.substr(path_start, path_size);
  return record;
}

}  // namespace job
