#pragma once

#include <cstddef>
#include <cstdint>

// Character boundaries of code page 932 (Shift_JIS), the code page of the files. Text is never
// decoded: a character is one byte, or a lead byte followed by a valid trail byte. A lead byte
// without a valid trail byte is a character of its own, so every byte string is valid text and
// is written back exactly as read.
namespace textfile {

inline bool is_lead_byte(std::uint8_t b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

inline bool is_trail_byte(std::uint8_t b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// The byte length (1 or 2) of the character that starts at `text[0]`, given `available` bytes.
// A lead byte at the very end of the available bytes counts as a character of its own.
inline std::size_t character_length(const std::uint8_t* text, std::size_t available) {
  return (available >= 2 && is_lead_byte(text[0]) && is_trail_byte(text[1])) ? 2 : 1;
}

// Carriage return and line feed never occur as trail bytes, so lines can be split on bytes.
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;

}  // namespace textfile
