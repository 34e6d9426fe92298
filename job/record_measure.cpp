#include "job/record_measure.h"

#include <cstring>

#include "job/job_constants.h"
#include "job/leading_starts.h"
#include "textfile/code_page.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

std::size_t find_line_end(const std::uint8_t* text, std::size_t size, bool& single_byte) {
  return textfile::find_carriage_return(text, size, single_byte);
}

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

bool has_split_type(const std::uint8_t* record, std::size_t size, const LeadingStarts& starts) {
  constexpr std::size_t kTypeOffset = kRecordTypePosition - 1;
  // The type character is a single byte below any trail byte, so a character that begins with
  // it is that byte alone.
  if (starts.known) {
    return record[offset_of_known_position(starts, kRecordTypePosition)] == kSplitRecordType;
  }
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

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
