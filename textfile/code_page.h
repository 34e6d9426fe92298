#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "textfile/bits.h"
#include "textfile/instruction_set.h"

// Character boundaries of code page 932 (Shift_JIS), the code page of the files. Text is never
// decoded: a character is one byte, or a lead byte followed by a valid trail byte. A lead byte
// without a valid trail byte is a character of its own, so every byte string is valid text and
// is written back exactly as read.
namespace textfile {
inline namespace ZORVANT_BUILD_NAMESPACE {

// What each byte can be, as bits: one load answers where two range checks took a dozen
// instructions, and the fill asks it for every position it looks at.
constexpr std::uint8_t kLeadByte = 1;
constexpr std::uint8_t kTrailByte = 2;

struct ByteClasses {
  std::uint8_t of[256];
};

constexpr ByteClasses make_byte_classes() {
  ByteClasses classes{};
  for (unsigned b = 0; b < 256; ++b) {
    bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    bool trail = (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
    classes.of[b] = static_cast<std::uint8_t>((lead ? kLeadByte : 0) | (trail ? kTrailByte : 0));
  }
  return classes;
}

inline constexpr ByteClasses kByteClasses = make_byte_classes();

inline bool is_lead_byte(std::uint8_t b) { return (kByteClasses.of[b] & kLeadByte) != 0; }

inline bool is_trail_byte(std::uint8_t b) { return (kByteClasses.of[b] & kTrailByte) != 0; }

// The byte length (1 or 2) of the character that starts at `text[0]`, given `available` bytes.
// A lead byte at the very end of the available bytes counts as a character of its own.
inline std::size_t character_length(const std::uint8_t* text, std::size_t available) {
  if (available < 2) return 1;
  // Both bytes tested at once, without a branch on the first: in Shift_JIS text whether a byte
  // is a lead byte is a coin toss for the branch predictor.
  unsigned pair = kByteClasses.of[text[0]] & (kByteClasses.of[text[1]] >> 1);
  return 1 + (pair & kLeadByte);
}

// Carriage return and line feed never occur as trail bytes, so lines can be split on bytes.
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;

// --- Counting characters many bytes at a time -------------------------------------------------
//
// Walking a record character by character costs a hard-to-predict branch per character, which
// made Shift_JIS text several times slower to convert than copying it. The functions below find
// the characters of 64 bytes at once as a bit mask instead; a byte below 0x80 is never a lead
// byte, so text without such bytes needs no walk at all.

// True when none of the `count` bytes is 0x80 or above: each of them is a character of its own.
inline bool all_below_0x80(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  // The bytes OR-ed together, many at a time and without a branch per byte.
#ifdef ZORVANT_WIDE_VECTORS
  if (count >= 32) {
    __m256i any = _mm256_setzero_si256();
    for (; i + 32 <= count; i += 32) {
      any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i)));
    }
    if (_mm256_movemask_epi8(any) != 0) return false;
  }
#endif
#ifdef ZORVANT_SSE2
  if (count >= 16) {
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
      any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)));
    }
    if (_mm_movemask_epi8(any) != 0) return false;
  }
#endif
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    high |= word;
  }
  for (; i < count; ++i) high |= bytes[i];
  return (high & 0x8080808080808080ull) == 0;
}

// The offset of the first carriage return among the `size` bytes, or `size` when none is one.
// `single_byte` tells whether every byte before that offset is below 0x80. One pass finds
// where a line of single-byte text ends and that it needs no measuring; once a byte of 0x80 or
// above turns up, only the return is looked for.
inline std::size_t find_carriage_return(const std::uint8_t* bytes, std::size_t size,
                                        bool& single_byte) {
  // Many bytes at a time up to the first that is a return or 0x80 or above.
  std::size_t i = 0;
#ifdef ZORVANT_WIDE_VECTORS
  const __m256i returns_32 = _mm256_set1_epi8(static_cast<char>(kCarriageReturn));
  for (; i + 32 <= size; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    auto stops = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, returns_32)) |
                                            _mm256_movemask_epi8(v));
    if (stops != 0) {
      i += count_bits((stops & (0u - stops)) - 1);  // the bits below the lowest
      break;
    }
  }
#endif
#ifdef ZORVANT_SSE2
  const __m128i returns_16 = _mm_set1_epi8(static_cast<char>(kCarriageReturn));
  for (; i + 16 <= size; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    auto stops = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, returns_16)) |
                                            _mm_movemask_epi8(v));
    if (stops != 0) {
      i += count_bits((stops & (0u - stops)) - 1);
      break;
    }
  }
#endif
  for (; i < size && bytes[i] != kCarriageReturn; ++i) {
    if (bytes[i] >= 0x80) {
      single_byte = false;
      const void* found = std::memchr(bytes + i, kCarriageReturn, size - i);
      return found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes)
                   : size;
    }
  }
  single_byte = true;
  return i;
}

// Bit i set when byte i of the 64 bytes at `bytes` is a lead byte and byte i + 1 a valid trail
// byte: the two make one character if the first begins one. Reads 65 bytes.
//
// Vector compares take bytes only as signed numbers; x lies in [low, low + width] exactly when
// x - low, wrapping, is at most `width` unsigned, which the unsigned minimum tells. Flipping bit
// 0x20 moves the two lead byte ranges, 0x81-0x9F and 0xE0-0xFC, next to each other as
// 0xA1-0xDC: one range check instead of two. Trail bytes are 0x40-0xFC without 0x7F.
inline std::uint64_t find_pair_starts(const std::uint8_t* bytes) {
  std::uint64_t pair_starts = 0;
#if defined(ZORVANT_WIDE_VECTORS)
  auto at_most = [](__m256i v, std::uint8_t width) {
    return _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(static_cast<char>(width))), v);
  };
  auto bytes_of = [](std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); };
  for (int part = 0; part < 2; ++part) {
    const std::uint8_t* at = bytes + 32 * part;
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    __m256i lead =
        at_most(_mm256_sub_epi8(_mm256_xor_si256(v, bytes_of(0x20)), bytes_of(0xA1)), 0xDC - 0xA1);
    __m256i trail =
        _mm256_andnot_si256(_mm256_cmpeq_epi8(next, bytes_of(0x7F)),
                            at_most(_mm256_sub_epi8(next, bytes_of(0x40)), 0xFC - 0x40));
    std::uint64_t part_bits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(lead, trail)));
    pair_starts |= part_bits << (32 * part);
  }
#elif defined(ZORVANT_SSE2)
  auto at_most = [](__m128i v, std::uint8_t width) {
    return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(static_cast<char>(width))), v);
  };
  auto bytes_of = [](std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); };
  for (int part = 0; part < 4; ++part) {
    const std::uint8_t* at = bytes + 16 * part;
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
    __m128i lead =
        at_most(_mm_sub_epi8(_mm_xor_si128(v, bytes_of(0x20)), bytes_of(0xA1)), 0xDC - 0xA1);
    __m128i trail = _mm_andnot_si128(_mm_cmpeq_epi8(next, bytes_of(0x7F)),
                                     at_most(_mm_sub_epi8(next, bytes_of(0x40)), 0xFC - 0x40));
    std::uint64_t part_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(lead, trail)));
    pair_starts |= part_bits << (16 * part);
  }
#else
  for (int i = 0; i < 64; ++i) {
    bool pair = is_lead_byte(bytes[i]) && is_trail_byte(bytes[i + 1]);
    pair_starts |= static_cast<std::uint64_t>(pair) << i;
  }
#endif
  return pair_starts;
}

// The characters of a block of 64 bytes that lies within a line.
struct BlockCharacters {
  // Bit i set when byte i begins a character.
  std::uint64_t starts;
  // The last byte is the lead byte of a double-byte character whose trail byte is the first
  // byte of the next block.
  bool ends_inside_character;
};

// Finds the characters of the 64 bytes at `bytes`, reading one byte past them: whether the last
// byte is a lead byte of two depends on it. `starts_inside_character` says the first byte is the
// trail byte of a character that began in the block before.
//
// A byte that is a lead byte followed by a valid trail byte ("a pair start") begins a double-byte
// character only when it begins a character at all. Runs of consecutive pair starts are where
// that matters: the first of a run always begins a character (the byte before it is a single
// character or a trail byte), so the run's bytes alternate between lead and trail byte from
// there. Adding a run's first bit to the mask carries through exactly that run, which finds the
// runs that begin on an even bit; of those runs the even bits are lead bytes, of the others the
// odd bits.
inline BlockCharacters scan_64_bytes(const std::uint8_t* bytes, bool starts_inside_character) {
  constexpr std::uint64_t kEvenBits = 0x5555555555555555ull;
  // A trail byte carried in from the block before is taken, whatever it could have begun.
  std::uint64_t pair_starts =
      find_pair_starts(bytes) & ~static_cast<std::uint64_t>(starts_inside_character);
  std::uint64_t run_firsts = pair_starts & ~(pair_starts << 1);
  std::uint64_t even_runs = pair_starts & ~(pair_starts + (run_firsts & kEvenBits));
  std::uint64_t odd_runs = pair_starts & ~even_runs;
  std::uint64_t leads = (even_runs & kEvenBits) | (odd_runs & ~kEvenBits);
  std::uint64_t trails = (leads << 1) | static_cast<std::uint64_t>(starts_inside_character);
  // Every lead byte is a pair start, and none is the trail byte of the character before it.
  assert((leads & ~pair_starts) == 0 && (leads & trails) == 0);
  return {~trails, (leads >> 63) != 0};
}

}  // namespace ZORVANT_BUILD_NAMESPACE
}  // namespace textfile
