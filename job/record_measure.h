#pragma once

#include <cstddef>
#include <cstdint>

#include "job/record_functions.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

// Where the line starting at `text` ends within `size` bytes: the offset of its carriage
// return, or `size` when it goes on past them. `single_byte` tells whether every byte before
// that offset is below 0x80, each a character of its own: records are then cut at fixed
// lengths, without measuring.
std::size_t find_line_end(const std::uint8_t* text, std::size_t size, bool& single_byte);

// Where a record starting at `text` ends, within `size` bytes of one line (no carriage return
// among them). `line_ends_here` says the line ends after those bytes. Gives 0 when the record
// may go on past them. Where it scans the record in blocks, it leaves where characters begin in
// the first two of them in `starts`, for the fill.
std::size_t measure_record(const std::uint8_t* text, std::size_t size, bool line_ends_here,
                           LeadingStarts& starts);

// The record's type character is "2": its fifth character is that single byte. `starts`, when
// known, spares looking for the characters again.
bool has_split_type(const std::uint8_t* record, std::size_t size, const LeadingStarts& starts);

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
