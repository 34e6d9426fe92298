#include "job/record_router.h"

#include <cstring>

#include "job/job_constants.h"
#include "job/separator_fill.h"
#include "textfile/code_page.h"

namespace job {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

std::uint64_t load_word(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Where a record starting at `text` ends, within `size` bytes of one line (no carriage return
// among them). `line_ends_here` says the line ends after those bytes. Gives 0 when the record
// may go on past them.
std::size_t measure_record(const std::uint8_t* text, std::size_t size, bool line_ends_here) {
  std::size_t offset = 0;
  std::size_t characters = 0;
  while (characters < kRecordLength) {
    // Runs of single-byte characters, eight at a time.
    while (kRecordLength - characters >= 8 && size - offset >= 8 &&
           (load_word(text + offset) & kHighBits) == 0) {
      offset += 8;
      characters += 8;
    }
    if (characters == kRecordLength) break;
    if (offset == size) return line_ends_here ? offset : 0;
    std::uint8_t byte = text[offset];
    if (textfile::is_lead_byte(byte)) {
      if (offset + 1 == size && !line_ends_here) return 0;  // the trail byte may follow
      offset += textfile::character_length(text + offset, size - offset);
    } else {
      offset += 1;
    }
    ++characters;
  }
  return offset;
}

// The record's type character is "2": its fifth character is that single byte.
bool has_split_type(const std::uint8_t* record, std::size_t size) {
  std::size_t offset = 0;
  for (std::size_t position = 1; position < kRecordTypePosition; ++position) {
    if (offset >= size) return false;
    offset += textfile::character_length(record + offset, size - offset);
  }
  return offset < size && record[offset] == kSplitRecordType;
}

}  // namespace

RecordRouter::RecordRouter(bool marked, textfile::TextOutputFile& main_output,
                           SplitOutputSource& split_output)
    : marked_(marked), main_output_(main_output), split_output_(split_output) {}

std::size_t RecordRouter::feed(const char* bytes, std::size_t size, bool end_of_input) {
  const auto* text = reinterpret_cast<const std::uint8_t*>(bytes);
  std::size_t at = 0;
  while (at < size) {
    if (text[at] == textfile::kCarriageReturn) {
      if (at + 1 < size) {
        at += text[at + 1] == textfile::kLineFeed ? 2 : 1;
      } else if (end_of_input) {
        at += 1;
      } else {
        break;  // a line feed may follow in the next block
      }
      continuation_ = false;
      continue;
    }
    const void* carriage_return = std::memchr(text + at, textfile::kCarriageReturn, size - at);
    std::size_t line_end =
        carriage_return ? static_cast<const std::uint8_t*>(carriage_return) - text : size;
    bool line_ends_here = carriage_return != nullptr || end_of_input;
    while (at < line_end) {
      std::size_t record_size = measure_record(text + at, line_end - at, line_ends_here);
      if (record_size == 0) return at;
      write_record(text + at, record_size);
      at += record_size;
      continuation_ = true;
    }
  }
  return at;
}

void RecordRouter::write_record(const std::uint8_t* record, std::size_t size) {
  textfile::TextOutputFile& destination =
      marked_ && has_split_type(record, size) ? split_output_.split_output() : main_output_;
  if (!continuation_) {
    destination.write_line(reinterpret_cast<const char*>(record), size);
    return;
  }
  std::uint8_t filled[kRecordLength * 2];
  std::size_t filled_size = fill_separators(record, size, marked_, filled);
  destination.write_line(reinterpret_cast<const char*>(filled), filled_size);
}

}  // namespace job
