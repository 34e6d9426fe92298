#include "job/undo_record.h"

#include <cinttypes>
#include <cstdio>

namespace job {
namespace {

constexpr char kHeader[] = "zorvant undo 2\n";
// Records of the first version, without index_high and incarnation, are still read: one may be
// waiting for the retry of a run that the previous version of the program left unfinished.
constexpr char kFirstVersionHeader[] = "zorvant undo 1\n";

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

// One line of numbers after the header, then the input path as it stands (it may hold any
// byte, new lines included), then a closing line that shows the record was written whole.
std::string UndoRecord::encode() const {
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64
                " %" PRIu64 " %" PRIu64 " %zu\n",
                split_length, split_identity.volume, split_identity.index,
                split_identity.index_high, split_identity.incarnation, input_identity.volume,
                input_identity.index, input_identity.index_high, input_identity.incarnation,
                input_path.size());
  return kHeader + std::string(numbers) + input_path + "\nend\n";
}

std::optional<UndoRecord> UndoRecord::decode(const std::string& text) {
  UndoRecord record;
  textfile::FileIdentity& split = record.split_identity;
  textfile::FileIdentity& input = record.input_identity;
  std::size_t path_size = 0;
  int consumed = 0;
  std::size_t numbers_start;
  if (starts_with(text, kHeader)) {
    numbers_start = sizeof kHeader - 1;
    if (std::sscanf(text.c_str() + numbers_start,
                    "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                    " %" SCNu64 " %" SCNu64 " %" SCNu64 " %zu%n",
                    &record.split_length, &split.volume, &split.index, &split.index_high,
                    &split.incarnation, &input.volume, &input.index, &input.index_high,
                    &input.incarnation, &path_size, &consumed) != 10) {
      return std::nullopt;
    }
  } else if (starts_with(text, kFirstVersionHeader)) {
    numbers_start = sizeof kFirstVersionHeader - 1;
    if (std::sscanf(text.c_str() + numbers_start,
                    "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %zu%n",
                    &record.split_length, &split.volume, &split.index, &input.volume, &input.index,
                    &path_size, &consumed) != 6) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  std::size_t numbers_end = numbers_start + static_cast<std::size_t>(consumed);
  if (consumed == 0 || text.size() <= numbers_end || text[numbers_end] != '\n') {
    return std::nullopt;
  }
  std::size_t path_start = numbers_end + 1;
  if (path_size > text.size() || text.size() != path_start + path_size + 5 ||
      text.compare(path_start + path_size, 5, "\nend\n") != 0) {
    return std::nullopt;
  }
  record.input_path = text.substr(path_start, path_size);
  return record;
}

bool UndoRecord::names(const textfile::FileIdentity& recorded,
                       const textfile::FileIdentity& actual) {
  if (recorded.incarnation == 0) {
    return recorded.volume == actual.volume && recorded.index == actual.index &&
           recorded.index_high == actual.index_high;
  }
  return recorded == actual;
}

}  // namespace job
