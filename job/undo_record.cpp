#include "job/undo_record.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

namespace job {
namespace {

constexpr char kHeader[] = "zorvant undo 4\n";
// Records of earlier versions are still read: one may be waiting for the retry of a run that
// an earlier version of the program left unfinished.
constexpr char kThirdVersionHeader[] = "zorvant undo 3\n";
constexpr char kSecondVersionHeader[] = "zorvant undo 2\n";
constexpr char kFirstVersionHeader[] = "zorvant undo 1\n";
constexpr char kEndMark[] = "\nend\n";
constexpr std::size_t kAttemptDigits = 12;

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

const char* state_word(UndoRecord::State state) {
  return state == UndoRecord::State::kComplete ? "complete" : "appending";
}

bool is_attempt(const char* text) {
  if (std::strlen(text) != kAttemptDigits) return false;
  for (const char* at = text; *at; ++at) {
    if (!std::strchr("0123456789abcdef", *at)) return false;
  }
  return true;
}

// Reads the numbers of the record's version after its header; gives where the path begins, or
// 0 when the text is not a whole record.
std::size_t decode_numbers(const std::string& text, std::size_t start, UndoRecord& record,
                           std::size_t& path_size) {
  textfile::FileIdentity& split = record.split_identity;
  textfile::FileIdentity& input = record.input_identity;
  const char* numbers = text.c_str() + start;
  int consumed = 0;
  bool whole = false;
  if (record.version >= 3) {
    char state[16] = {};
    char attempt[16] = {};
    int pinned = 0;
    whole = std::sscanf(numbers,
                        "%15s %15s %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                        " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                        " %" SCNu64 " %d %zu%n",
                        state, attempt, &record.split_length, &record.split_end, &split.volume,
                        &split.index, &split.index_high, &split.incarnation, &input.volume,
                        &input.index, &input.index_high, &input.incarnation, &record.input_size,
                        &record.input_modified, &pinned, &path_size, &consumed) == 16;
    whole = whole && is_attempt(attempt) && (pinned == 0 || pinned == 1);
    if (std::strcmp(state, "complete") == 0) {
      record.state = UndoRecord::State::kComplete;
    } else if (std::strcmp(state, "appending") != 0) {
      whole = false;
    }
    record.attempt = attempt;
    record.pinned = pinned == 1;
  } else if (record.version == 2) {
    whole = std::sscanf(numbers,
                        "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                        " %" SCNu64 " %" SCNu64 " %" SCNu64 " %zu%n",
                        &record.split_length, &split.volume, &split.index, &split.index_high,
                        &split.incarnation, &input.volume, &input.index, &input.index_high,
                        &input.incarnation, &path_size, &consumed) == 10;
  } else {
    whole =
        std::sscanf(numbers, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %zu%n",
                    &record.split_length, &split.volume, &split.index, &input.volume, &input.index,
                    &path_size, &consumed) == 6;
  }
  std::size_t numbers_end = start + static_cast<std::size_t>(consumed);
  if (!whole || consumed == 0 || text.size() <= numbers_end || text[numbers_end] != '\n') return 0;
  if (record.version < 4) return numbers_end + 1;
  // A line of its own: the identity of the input's folder.
  textfile::FileIdentity& folder = record.input_folder;
  const char* folder_numbers = text.c_str() + numbers_end + 1;
  consumed = 0;
  whole = std::sscanf(folder_numbers, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 "%n",
                      &folder.volume, &folder.index, &folder.index_high, &folder.incarnation,
                      &consumed) == 4;
  std::size_t folder_end = numbers_end + 1 + static_cast<std::size_t>(consumed);
  if (!whole || consumed == 0 || text.size() <= folder_end || text[folder_end] != '\n') return 0;
  return folder_end + 1;
}

}  // namespace

// One line of words and numbers after the header, a line with the identity of the input's
// folder, then the input path as it stands (it may hold any byte, new lines included), then a
// closing line that shows the record was written whole.
std::string UndoRecord::encode() const {
  const textfile::FileIdentity& split = split_identity;
  const textfile::FileIdentity& input = input_identity;
  const textfile::FileIdentity& folder = input_folder;
  char numbers[640];
  std::snprintf(numbers, sizeof numbers,
                "%s %s %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64
                " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %d %zu\n",
                state_word(state), attempt.c_str(), split_length, split_end, split.volume,
                split.index, split.index_high, split.incarnation, input.volume, input.index,
                input.index_high, input.incarnation, input_size, input_modified, pinned ? 1 : 0,
                input_path.size());
  std::size_t used = std::strlen(numbers);
  std::snprintf(numbers + used, sizeof numbers - used,
                "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", folder.volume, folder.index,
                folder.index_high, folder.incarnation);
  return kHeader + std::string(numbers) + input_path + kEndMark;
}

std::optional<UndoRecord> UndoRecord::decode(const std::string& text) {
  UndoRecord record;
  std::size_t numbers_start = sizeof kHeader - 1;
  if (starts_with(text, kHeader)) {
    record.version = 4;
  } else if (starts_with(text, kThirdVersionHeader)) {
    record.version = 3;
  } else if (starts_with(text, kSecondVersionHeader)) {
    record.version = 2;
  } else if (starts_with(text, kFirstVersionHeader)) {
    record.version = 1;
  } else {
    return std::nullopt;
  }
  std::size_t path_size = 0;
  std::size_t path_start = decode_numbers(text, numbers_start, record, path_size);
  const std::size_t end_size = sizeof kEndMark - 1;
  if (path_start == 0 || path_size > text.size() ||
      text.size() != path_start + path_size + end_size ||
      text.compare(path_start + path_size, end_size, kEndMark) != 0) {
    return std::nullopt;
  }
  record.input_path = text.substr(path_start, path_size);
  return record;
}

std::string new_attempt() {
  std::uint64_t bits;
  try {
    std::random_device source;
    bits = (std::uint64_t{source()} << 32) ^ source();
  } catch (const std::exception&) {
    // No source of randomness: the clock, to the nanosecond, is still new for every attempt.
    bits = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  }
  char digits[kAttemptDigits + 1];
  std::snprintf(digits, sizeof digits, "%012" PRIx64,
                static_cast<std::uint64_t>(bits & 0xffffffffffffull));
  return digits;
}

std::string attempt_file_name(const std::string& attempt, const char* kind) {
  return ".zorvant-" + attempt + "." + kind;
}

std::string attempt_file_path(const textfile::FileSystem& files, const std::string& input_path,
                              const std::string& attempt, const char* kind) {
  return input_path.substr(0, files.file_name_start(input_path)) + attempt_file_name(attempt, kind);
}

bool same_file(const textfile::FileIdentity& a, const textfile::FileIdentity& b) {
  // A record that a run on another host wrote, or a run before files on shared storage were
  // told by their index alone, holds a device number of that host's.
  bool same_volume = a.volume == b.volume || a.volume == textfile::kSharedVolume ||
                     b.volume == textfile::kSharedVolume;
  return same_volume && a.index == b.index && a.index_high == b.index_high;
}

bool same_birth(const textfile::FileIdentity& a, const textfile::FileIdentity& b) {
  return same_file(a, b) && a.incarnation == b.incarnation;
}

bool same_folder(const textfile::FileIdentity& a, const textfile::FileIdentity& b) {
  bool both_born = a.incarnation != 0 && b.incarnation != 0;
  return same_file(a, b) && (!both_born || a.incarnation == b.incarnation);
}

bool is_known(const textfile::FileIdentity& identity) {
  return identity.volume != 0 || identity.index != 0 || identity.index_high != 0;
}

}  // namespace job
