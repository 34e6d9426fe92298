#pragma once

#include <cstddef>
#include <cstdint>

#include "job/record_functions.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

// Where a record starting at `text` ends, within `size` bytes of one line (no carriage return
// among them). `line_ends_here` says the line ends after those bytes. Gives 0 when the record
// may go on past them. Where it scans the record in blocks, it leaves where characters begin in
// the first two of them in `starts`, for the fill.
std::size_t measure_record(const std::uint8_t* text, std::size_t size, bool line_ends_here,
                           LeadingStarts& starts);

// The record's type character is "2": its fifth character is that single byte.
bool has_split_type(const std::uint8_t* record, std::size_t size);

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
