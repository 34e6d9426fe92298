#pragma once

#include <cstddef>

#include "job/record_functions.h"
#include "textfile/bits.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

// The byte offset of the character at 1-based `position` (at most 64) of a record whose
// leading starts are known. The 128 bytes they cover hold at least 64 characters, one or two
// bytes each, so the answer lies among them. Both halves are asked and one answer is chosen
// without a branch: which half holds the position is data the branch predictor cannot guess.
inline std::size_t offset_of_known_position(const LeadingStarts& starts, std::size_t position) {
  const std::size_t n = position - 1;
  const std::size_t in_first = textfile::count_bits(starts.bits[0]);
  const std::size_t in_second = n >= in_first ? n - in_first : 0;
  const std::size_t from_first = textfile::index_of_set_bit(starts.bits[0], n);
  const std::size_t from_second = 64 + textfile::index_of_set_bit(starts.bits[1], in_second);
  return n < in_first ? from_first : from_second;
}

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
