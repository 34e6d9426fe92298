#include "job/separator_fill.h"

#include <cassert>
#include <cstring>

#include "job/job_constants.h"
#include "job/leading_starts.h"
#include "textfile/code_page.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {
namespace {

// The rules of a variant look at a few consecutive positions only: from the left neighbour of
// the first rule to the right neighbour of the last.
constexpr std::size_t first_fill_position(bool marked) {
  return (marked ? kMarkedFillRules : kUnmarkedFillRules)[0].left;
}
constexpr std::size_t last_fill_position(bool marked) {
  return (marked ? kMarkedFillRules : kUnmarkedFillRules)[1].right;
}

// Byte offset and length of one character position of the record; length 0 past its end.
// (No default values: a window of them is made for every continuation record, and clearing
// it took 7% of the fill.)
struct CharacterSpan {
  std::size_t offset;
  std::size_t length;
};

// Where characters begin among the first 128 bytes of a record longer than them, found 64 bytes
// at a time as measuring finds them (the scan reads byte 128, which the record holds).
LeadingStarts leading_starts_of(const std::uint8_t* record) {
  static_assert(last_fill_position(true) * 2 < 128 && last_fill_position(false) * 2 < 128,
                "the fill positions lie within 128 bytes");
  LeadingStarts starts;
  textfile::BlockCharacters first = textfile::scan_64_bytes(record, false);
  textfile::BlockCharacters second =
      textfile::scan_64_bytes(record + 64, first.ends_inside_character);
  starts.bits[0] = first.starts;
  starts.bits[1] = second.starts;
  starts.known = true;
  return starts;
}

// The byte offset of the character at 1-based `position` (at most a last fill position) of a
// record of at most 128 bytes, or an offset of `size` or more when it has fewer characters.
std::size_t offset_of_position(const std::uint8_t* record, std::size_t size, std::size_t position) {
  // Single-byte characters up to it, as in most records: the position is the offset.
  if (textfile::all_below_0x80(record, position < size ? position : size)) return position - 1;
  // Too few bytes to scan in blocks, and few enough to walk.
  std::size_t offset = 0;
  for (std::size_t p = 1; p < position && offset < size; ++p) {
    offset += textfile::character_length(record + offset, size - offset);
  }
  return offset;
}

// The character positions the rules of one variant look at: a window of a few consecutive
// positions, kept small because it is made for every continuation record.
class FillWindow {
 public:
  FillWindow(const std::uint8_t* record, std::size_t size, bool marked, const LeadingStarts& starts)
      : first_(first_fill_position(marked)) {
    const std::size_t positions = last_fill_position(marked) - first_ + 1;
    if (starts.known || size > 128) {
      assert(size > 128);
      read_off(starts.known ? starts : leading_starts_of(record), positions);
      return;
    }
    std::size_t offset = offset_of_position(record, size, first_);
    for (std::size_t i = 0; i < positions; ++i) {
      std::size_t length =
          offset < size ? textfile::character_length(record + offset, size - offset) : 0;
      spans_[i] = {offset, length};
      offset += length;
    }
  }

  const CharacterSpan& operator[](std::size_t position) const { return spans_[position - first_]; }

 private:
  // The window of a record longer than the 128 bytes `starts` covers: the window and the
  // position after it lie among them, and within the record. From the first position's start on,
  // each next start is the next set bit; the starts from that offset on, as one word, hold them
  // all, since the window spans fewer than 64 bytes.
  void read_off(const LeadingStarts& starts, std::size_t positions) {
    const std::size_t first_offset = offset_of_known_position(starts, first_);
    const bool in_second = first_offset >= 64;
    const std::uint64_t low = in_second ? starts.bits[1] : starts.bits[0];
    const std::uint64_t high = in_second ? 0 : starts.bits[1];
    const std::size_t shift = first_offset & 63;
    std::uint64_t ahead = (low >> shift) | ((high << 1) << (63 - shift));
    std::size_t offset = first_offset;
    for (std::size_t i = 0; i < positions; ++i) {
      ahead &= ahead - 1;  // past this position's start
      std::size_t next = first_offset + textfile::index_of_lowest_set_bit(ahead);
      spans_[i] = {offset, next - offset};
      offset = next;
    }
  }

  static constexpr std::size_t kMaxPositions = 7;
  static_assert(kMarkedFillRules[1].right - kMarkedFillRules[0].left < kMaxPositions &&
                    kUnmarkedFillRules[1].right - kUnmarkedFillRules[0].left < kMaxPositions,
                "the window holds every position a variant looks at");
  std::size_t first_;
  CharacterSpan spans_[kMaxPositions];
};

// A position past the end of the record (length 0) is not blank. A blank is one byte, never
// the first of two, so the byte at the offset settles it.
bool is_blank(const std::uint8_t* record, const CharacterSpan& at) {
  return at.length != 0 && record[at.offset] == kBlank;
}

}  // namespace

std::size_t fill_separators(const std::uint8_t* record, std::size_t size, bool marked,
                            std::uint8_t* out, const LeadingStarts& starts) {
  const FillRule(&rules)[2] = marked ? kMarkedFillRules : kUnmarkedFillRules;

  // Single-byte text up to the last position the rules look at, as in most records: positions
  // are offsets, every separator is one byte, and the record is copied whole and patched.
  const std::size_t last = last_fill_position(marked);
  if (size >= last && textfile::all_below_0x80(record, last)) {
    std::memcpy(out, record, size);
    for (const FillRule& rule : rules) {
      if (record[rule.left - 1] != kBlank && record[rule.right - 1] != kBlank) {
        out[rule.separator - 1] = kFillCharacter;
      }
    }
    return size;
  }

  // Only the handful of positions the rules name are located, not the whole record.
  FillWindow spans(record, size, marked, starts);

  // The separators to overwrite, in record order; rules never overlap.
  const CharacterSpan* separators[2];
  std::size_t separator_count = 0;
  bool all_single_byte = true;
  for (const FillRule& rule : rules) {
    if (!is_blank(record, spans[rule.left]) && !is_blank(record, spans[rule.right]) &&
        spans[rule.separator].length != 0) {
      separators[separator_count++] = &spans[rule.separator];
      all_single_byte = all_single_byte && spans[rule.separator].length == 1;
    }
  }

  // Separators of one byte are overwritten in a whole copy, as above.
  if (all_single_byte) {
    std::memcpy(out, record, size);
    for (std::size_t i = 0; i < separator_count; ++i) out[separators[i]->offset] = kFillCharacter;
    return size;
  }

  // Copied around the separators, each of which becomes one "-".
  std::size_t from = 0;
  std::size_t to = 0;
  for (std::size_t i = 0; i < separator_count; ++i) {
    const CharacterSpan& separator = *separators[i];
    std::memcpy(out + to, record + from, separator.offset - from);
    to += separator.offset - from;
    out[to++] = kFillCharacter;
    from = separator.offset + separator.length;
  }
  std::memcpy(out + to, record + from, size - from);
  return to + size - from;
}

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
