#include "job/record_router.h"

#include <cassert>
#include <cstring>

#include "job/job_constants.h"
#include "job/separator_fill.h"
#include "textfile/code_page.h"

namespace job {
namespace {

// Where a record starting at `text` ends, within `size` bytes of one line (no carriage return
// among them). `line_ends_here` says the line ends after those bytes. Gives 0 when the record
// may go on past them.
// Where it scans the record in blocks, it leaves where characters begin in the first two of them
// in `starts`, for the fill.
std::size_t measure_record(const std::uint8_t* text, std::size_t size, bool line_ends_here,
                           LeadingStarts& starts) {
  starts.known = false;
  // A record takes at least one byte per character, so fewer bytes cannot hold one whole unless
  // the line ends with them.
  if (size < kRecordLength && !line_ends_here) return 0;
  // Most records are single-byte text: one check of the bytes settles them. Text with
  // double-byte characters usually has one in the first 64 bytes, so that check comes first
  // and fails early.
  std::size_t first_bytes = size < kRecordLength ? size : kRecordLength;
  std::size_t early = first_bytes < 64 ? first_bytes : 64;
  if (textfile::all_below_0x80(text, early) &&
      textfile::all_below_0x80(text + early, first_bytes - early)) {
    return first_bytes;
  }

  std::size_t offset = 0;
  std::size_t characters = 0;
  bool inside_character = false;  // the byte at `offset` is the trail byte of the one before
  // 64 bytes at a time while there is a byte after them to tell how the last one pairs.
  while (size - offset > 64) {
    textfile::BlockCharacters block = textfile::scan_64_bytes(text + offset, inside_character);
    std::size_t in_block = textfile::count_bits(block.starts);
    if (characters + in_block > kRecordLength) {
      // The record ends where character kRecordLength + 1 begins.
      return offset + textfile::index_of_set_bit(block.starts, kRecordLength - characters);
    }
    characters += in_block;
    inside_character = block.ends_inside_character;
    if (offset < 128) {
      starts.bits[offset / 64] = block.starts;
      starts.known = offset == 64;
    }
    offset += 64;
  }

  if (line_ends_here) {
    // The end of the line, scanned as one more block padded with zero bytes. A zero byte is no
    // trail byte, so a lead byte at the very end stays a character of its own, as it does
    // before a line end.
    std::uint8_t last_block[65] = {};
    std::size_t rest = size - offset;
    std::memcpy(last_block, text + offset, rest);
    textfile::BlockCharacters block = textfile::scan_64_bytes(last_block, inside_character);
    std::uint64_t starts = rest == 64 ? block.starts : block.starts & ((1ull << rest) - 1);
    if (characters + textfile::count_bits(starts) > kRecordLength) {
      return offset + textfile::index_of_set_bit(starts, kRecordLength - characters);
    }
    return size;
  }

  // The line goes on in the next block of input: the last bytes one character at a time, since
  // a lead byte at the very end may yet get its trail byte.
  if (inside_character) offset += 1;
  while (characters < kRecordLength) {
    if (offset == size) return 0;
    if (offset + 1 == size && textfile::is_lead_byte(text[offset])) return 0;
    offset += textfile::character_length(text + offset, size - offset);
    ++characters;
  }
  return offset;
}

// The record's type character is "2": its fifth character is that single byte.
bool has_split_type(const std::uint8_t* record, std::size_t size) {
  constexpr std::size_t kTypeOffset = kRecordTypePosition - 1;
  // Single-byte characters before it (the usual case) put it at a fixed offset.
  if (size > kTypeOffset && textfile::all_below_0x80(record, kTypeOffset)) {
    return record[kTypeOffset] == kSplitRecordType;
  }
  std::size_t offset = 0;
  for (std::size_t position = 1; position < kRecordTypePosition; ++position) {
    if (offset >= size) return false;
    offset += textfile::character_length(record + offset, size - offset);
  }
  return offset < size && record[offset] == kSplitRecordType;
}

}  // namespace

RecordRouter::RecordRouter(textfile::TextOutputFile& main_output, SplitOutputSource* split_output)
    : marked_(split_output != nullptr), main_output_(main_output), split_output_(split_output) {}

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
      LeadingStarts starts;
      std::size_t record_size = measure_record(text + at, line_end - at, line_ends_here, starts);
      if (record_size == 0) return at;
      write_record(text + at, record_size, starts);
      at += record_size;
      continuation_ = true;
    }
  }
  return at;
}

void RecordRouter::write_record(const std::uint8_t* record, std::size_t size,
                                const LeadingStarts& starts) {
  assert(size > 0 && size <= 2 * kRecordLength);  // 256 characters of one or two bytes
  textfile::TextOutputFile& destination =
      marked_ && has_split_type(record, size) ? split_output_->file() : main_output_;
  // Straight into the output's buffer: a record is copied once, filled on the way.
  auto* line = reinterpret_cast<std::uint8_t*>(destination.begin_line(size));
  if (!continuation_) {
    std::memcpy(line, record, size);
    destination.end_line(size);
    return;
  }
  destination.end_line(fill_separators(record, size, marked_, line, starts));
}

void route_input(textfile::TextInputFile& input, RecordRouter& router,
                 const std::function<void()>& after_each_block) {
  for (;;) {
    bool end_of_input = input.at_end();
    input.consume(router.feed(input.data(), input.size(), end_of_input));
    if (end_of_input) return;
    if (after_each_block) after_each_block();
    input.read_more();
  }
}

}  // namespace job
