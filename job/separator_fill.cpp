#include "job/separator_fill.h"

#include <cstring>

#include "job/job_constants.h"
#include "textfile/code_page.h"

namespace job {
namespace {

// Byte offset and length of one character position of the record; length 0 past its end.
struct CharacterSpan {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// Locates the first kLastFillPosition characters. Records are mostly single-byte text, so a
// prefix without bytes of 0x80 and above is mapped without walking it.
std::size_t locate_characters(const std::uint8_t* record, std::size_t size,
                              CharacterSpan (&spans)[kLastFillPosition + 1]) {
  std::size_t count = 0;
  std::size_t offset = 0;
  while (count < kLastFillPosition && offset < size) {
    std::size_t length =
        record[offset] < 0x80 ? 1 : textfile::character_length(record + offset, size - offset);
    ++count;
    spans[count] = {offset, length};
    offset += length;
  }
  return count;
}

bool is_blank(const std::uint8_t* record, const CharacterSpan& at) {
  return at.length == 1 && record[at.offset] == kBlank;
}

}  // namespace

std::size_t fill_separators(const std::uint8_t* record, std::size_t size, bool marked,
                            std::uint8_t* out) {
  CharacterSpan spans[kLastFillPosition + 1];
  std::size_t characters = locate_characters(record, size, spans);

  // The separators to overwrite, in record order; rules never overlap.
  const CharacterSpan* separators[2];
  std::size_t separator_count = 0;
  for (const FillRule& rule : marked ? kMarkedFillRules : kUnmarkedFillRules) {
    bool left_blank = rule.left <= characters && is_blank(record, spans[rule.left]);
    bool right_blank = rule.right <= characters && is_blank(record, spans[rule.right]);
    if (!left_blank && !right_blank && rule.separator <= characters) {
      separators[separator_count++] = &spans[rule.separator];
    }
  }

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

}  // namespace job
