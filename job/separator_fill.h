#pragma once

#include <cstddef>
#include <cstdint>

#include "job/record_functions.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

// Fills the separators of a continuation record. For each fill rule of the variant, in order:
// when neither neighbour is a blank (a position past the end of the record counts as not
// blank), the character at the separator becomes "-". A separator past the end of the record is
// left alone, so a record is never lengthened; a double-byte character at a separator is
// replaced by the single "-", so the record can become one or two bytes shorter.
//
// Reads `size` bytes of `record`, writes the filled record to `out` (room for `size` bytes) and
// returns its length in bytes. `starts`, when known, spares looking for the characters again.
std::size_t fill_separators(const std::uint8_t* record, std::size_t size, bool marked,
                            std::uint8_t* out, const LeadingStarts& starts = {});

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
