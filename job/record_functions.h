#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The code that looks at every byte of a record is built twice on x86-64: once for every
// processor, and once more for processors with wide vectors, under a namespace of its own.
// The build names the one it makes; the portable build is the default.
#ifndef ZORVANT_RECORD_FUNCTIONS
#define ZORVANT_RECORD_FUNCTIONS portable
#endif

namespace job {

// Where characters begin among the first 128 bytes of a record (bit i of bits[w]: byte 64w + i
// begins one), when whoever measured the record has found out already.
struct LeadingStarts {
  std::uint64_t bits[2] = {0, 0};
  bool known = false;
};

// One build of the per-record work: finding a line's end, measuring a record, telling its type,
// filling its separators (see record_measure.h and separator_fill.h for each contract).
struct RecordFunctions {
  const char* name;  // "portable" or "wide_vectors", for reports
  std::size_t (*find_line_end)(const std::uint8_t* text, std::size_t size, bool& single_byte);
  std::size_t (*measure_record)(const std::uint8_t* text, std::size_t size, bool line_ends_here,
                                LeadingStarts& starts);
  bool (*has_split_type)(const std::uint8_t* record, std::size_t size, const LeadingStarts& starts);
  std::size_t (*fill_separators)(const std::uint8_t* record, std::size_t size, bool marked,
                                 std::uint8_t* out, const LeadingStarts& starts);
};

// The builds this processor can run, the fastest first. The router uses the first; the tests
// check them all.
const std::vector<const RecordFunctions*>& record_functions_for_this_processor();

namespace ZORVANT_RECORD_FUNCTIONS {
extern const RecordFunctions kRecordFunctions;
}

}  // namespace job
