#include "job/undo_record.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

namespace job {
namespace {

constexpr char kHeader[] = "zorvant undo 5\n";
// Records of earlier versions are still read: one may be waiting for the retry of a run that
// an earlier version of the program left unfinished.
constexpr char kFourthVersionHeader[] = "zorvant undo 4\n";
constexpr char kThirdVersionHeader[] = "zorvant undo 3\n";
constexpr char kSecondVersionHeader[] = "zorvant undo 2\n";
constexpr char kFirstVersionHeader[] = "zorvant undo 1\n";
constexpr char kEndMark[] = "\nend\n";
constexpr std::size_t kAttemptDigits = 12;
// The completion: "complete", the split output's end, the input's size and time, the pin, a
// checksum of the line so far, then a closing line.
constexpr char kCompletionEnd[] = "\nend\n";
// Longer than any completion: four numbers of at most 20 digits and a checksum of 16.
constexpr std::size_t kLongestCompletion = 128;

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

// FNV-1a: what a completion's own line must add up to. Not against a forger (whoever may write
// the record is trusted), only against a line a power cut left part written.
std::uint64_t checksum(const std::string& text) {
  std::uint64_t sum = 0xcbf29ce484222325ull;
  for (unsigned char byte : text) sum = (sum ^ byte) * 0x100000001b3ull;
  return sum;
}

std::string completion_line(std::uint64_t split_end, std::uint64_t input_size,
                            std::uint64_t input_modified, bool pinned) {
  char line[96];
  std::snprintf(line, sizeof line, "complete %" PRIu64 " %" PRIu64 " %" PRIu64 " %d", split_end,
                input_size, input_modified, pinned ? 1 : 0);
  return line;
}

// What an addition that a power cut cut short or left unwritten can hold: a first part of a
// completion, with blocks of zeros where its bytes never reached the disk.
bool is_torn_completion(const std::string& text) {
  if (text.size() > kLongestCompletion) return false;
  for (char byte : text) {
    if (byte != '\0' && !std::strchr("completend0123456789abcdef \n", byte)) return false;
  }
  return true;
}

// A whole completion read into `record`; false, leaving it as it was, for any other text.
bool decode_completion(const std::string& text, UndoRecord& record) {
  std::uint64_t split_end = 0, input_size = 0, input_modified = 0, sum = 0;
  int pinned = 0;
  int line_size = 0;
  int consumed = 0;
  if (text.size() > kLongestCompletion || text.find('\0') != std::string::npos ||
      std::sscanf(text.c_str(), "complete %" SCNu64 " %" SCNu64 " %" SCNu64 " %d%n %16" SCNx64 "%n",
                  &split_end, &input_size, &input_modified, &pinned, &line_size, &sum,
                  &consumed) != 5) {
    return false;
  }
  const std::string line = text.substr(0, static_cast<std::size_t>(line_size));
  if ((pinned != 0 && pinned != 1) ||
      line != completion_line(split_end, input_size, input_modified, pinned == 1) ||
      sum != checksum(line) || text.substr(static_cast<std::size_t>(consumed)) != kCompletionEnd) {
    return false;
  }
  record.state = UndoRecord::State::kComplete;
  record.split_end = split_end;
  record.input_size = input_size;
  record.input_modified = input_modified;
  record.pinned = pinned == 1;
  return true;
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
                state_word(State::kAppending), attempt.c_str(), split_length, std::uint64_t{0},
                split.volume, split.index, split.index_high, split.incarnation, input.volume,
                input.index, input.index_high, input.incarnation, std::uint64_t{0},
                std::uint64_t{0}, 0, input_path.size());
  std::size_t used = std::strlen(numbers);
  std::snprintf(numbers + used, sizeof numbers - used,
                "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", folder.volume, folder.index,
                folder.index_high, folder.incarnation);
  std::string text = kHeader + std::string(numbers) + input_path + kEndMark;
  return state == State::kComplete ? text + completion() : text;
}

std::string UndoRecord::completion() const {
  const std::string line = completion_line(split_end, input_size, input_modified, pinned);
  char sum[24];
  std::snprintf(sum, sizeof sum, " %016" PRIx64, checksum(line));
  return line + sum + kCompletionEnd;
}

std::optional<UndoRecord> UndoRecord::decode(const std::string& text) {
  UndoRecord record;
  std::size_t numbers_start = sizeof kHeader - 1;
  if (starts_with(text, kHeader)) {
    record.version = 5;
  } else if (starts_with(text, kFourthVersionHeader)) {
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
      text.size() < path_start + path_size + end_size ||
      text.compare(path_start + path_size, end_size, kEndMark) != 0) {
    return std::nullopt;
  }
  record.input_path = text.substr(path_start, path_size);
  const std::string added = text.substr(path_start + path_size + end_size);
  if (record.version < 5) return added.empty() ? std::optional<UndoRecord>(record) : std::nullopt;
  // Written appending; complete only once its whole completion reached the disk. A completion
  // cut short was never durable, and the input was never touched: the record is as written.
  record.state = UndoRecord::State::kAppending;
  record.split_end = record.input_size = record.input_modified = 0;
  record.pinned = false;
  if (added.empty() || decode_completion(added, record) || is_torn_completion(added)) {
    return record;
  }
  return std::nullopt;
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
