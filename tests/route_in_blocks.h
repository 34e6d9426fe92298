#pragma once

#include <cstddef>
#include <string>

#include "job/record_functions.h"

// What the record router made of an input: the two outputs, and the bytes it never used.
struct Routed {
  std::string main;
  std::string split;
  bool split_created = false;
  std::string left_over;
  // The most bytes the router left unused after a block: it must never hold back a line.
  std::size_t most_held_back = 0;
};

// Routes `input` handed over in blocks of `block` bytes, the way the input file does it: bytes
// the router leaves unused come again in front of the next block. `functions` is the build of
// the per-record work to use, the program's own choice when not given.
Routed route_in_blocks(const std::string& input, bool marked, std::size_t block,
                       const job::RecordFunctions* functions = nullptr);
