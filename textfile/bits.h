#pragma once

#include <cstddef>
#include <cstdint>

#include "textfile/instruction_set.h"

// Counting and finding set bits, which the character scan does for every block of 64 bytes.
namespace textfile {
inline namespace ZORVANT_BUILD_NAMESPACE {

// The number of set bits in each byte of `bits`, byte for byte.
inline std::uint64_t count_bits_per_byte(std::uint64_t bits) {
  bits = bits - ((bits >> 1) & 0x5555555555555555ull);
  bits = (bits & 0x3333333333333333ull) + ((bits >> 2) & 0x3333333333333333ull);
  return (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Full;
}

// The number of set bits.
inline std::size_t count_bits(std::uint64_t bits) {
#ifdef ZORVANT_WIDE_VECTORS
  return static_cast<std::size_t>(_mm_popcnt_u64(bits));
#else
  // Multiplying sums the byte counts into the top byte.
  return static_cast<std::size_t>((count_bits_per_byte(bits) * 0x0101010101010101ull) >> 56);
#endif
}

// The index of the lowest set bit of `bits`, which must not be 0.
inline std::size_t index_of_lowest_set_bit(std::uint64_t bits) {
#if defined(__GNUC__)
  return static_cast<std::size_t>(__builtin_ctzll(bits));
#else
  // The number of bits below the lowest.
  return count_bits((bits & (0 - bits)) - 1);
#endif
}

// The bytes of `counts` hold counts that add up to at most 64. Returns the index of the first
// byte at which the running total exceeds n (n below the sum), and in `before` the total of the
// bytes before it.
//
// Multiplying by 0x0101...01 puts the running totals in the bytes, growing from byte to byte.
// The answer is the number of bytes whose total does not exceed n. Adding 0x80 to every total
// and subtracting n + 1 leaves a byte's top bit set exactly when its total exceeds n (no byte
// borrows from the next), which settles all eight bytes at once, without a branch: where the
// answer lies is data the branch predictor cannot guess.
inline std::size_t first_byte_exceeding(std::uint64_t counts, std::size_t n, std::size_t& before) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kTops = 0x8080808080808080ull;
  std::uint64_t running = counts * kOnes;
  std::uint64_t exceeding = ((running | kTops) - kOnes * static_cast<std::uint64_t>(n + 1)) & kTops;
  std::size_t byte = 8 - static_cast<std::size_t>(((exceeding >> 7) * kOnes) >> 56);
  before = static_cast<std::size_t>(((running << 8) >> (8 * byte)) & 0xFF);
  return byte;
}

// The index of set bit number `n` (counting from 0, lowest first), or 64 when there are fewer.
inline std::size_t index_of_set_bit(std::uint64_t bits, std::size_t n) {
#ifdef ZORVANT_WIDE_VECTORS
  // Depositing a single bit at the place of set bit n, then counting the zeros below it.
  if (n >= count_bits(bits)) return 64;
  return static_cast<std::size_t>(_tzcnt_u64(_pdep_u64(1ull << n, bits)));
#else
  if (bits == ~0ull) return n < 64 ? n : 64;  // single-byte text: the common case, no search
  std::uint64_t counts = count_bits_per_byte(bits);
  if (n >= static_cast<std::size_t>((counts * 0x0101010101010101ull) >> 56)) return 64;
  // First the byte that holds the bit, then the bit within that byte, found the same way once
  // each of its bits is spread to a byte of its own (as 0 or 1).
  std::size_t before = 0;
  std::size_t byte = first_byte_exceeding(counts, n, before);
  std::uint64_t in_byte = (bits >> (8 * byte)) & 0xFF;
  std::uint64_t spread =
      (((in_byte * 0x0101010101010101ull) & 0x8040201008040201ull) + 0x7F7F7F7F7F7F7F7Full) &
      0x8080808080808080ull;
  std::size_t unused = 0;
  return 8 * byte + first_byte_exceeding(spread >> 7, n - before, unused);
#endif
}

}  // namespace ZORVANT_BUILD_NAMESPACE
}  // namespace textfile
