// Runs the record logic fuzz target without libFuzzer: seeded random inputs, a fixed number of
// them, so that every build's test run compares the router with its model. Inputs are drawn
// from the bytes that matter (line ends, Shift_JIS lead and trail bytes, blanks, the type
// character) and run to a few records a line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "job/record_functions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  const unsigned long iterations = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  const std::uint8_t interesting[] = {'\r', '\n', ' ',  '2',  '0',  'a',  0x81, 0x82, 0x9F,
                                      0xE0, 0xFC, 0x40, 0x7E, 0x80, 0xA0, 0xFD, 0x00, 0x7F};
  std::mt19937 random(20261209);
  std::vector<std::uint8_t> input;
  for (unsigned long i = 0; i < iterations; ++i) {
    input.assign({static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random())});
    std::size_t size = random() % 1600;
    for (std::size_t at = 0; at < size; ++at) {
      input.push_back(random() % 4 == 0 ? static_cast<std::uint8_t>(random())
                                        : interesting[random() % sizeof interesting]);
    }
    // The target aborts on a difference; the input that showed it is the seed and the count.
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%lu inputs agree with the model in the builds:", iterations);
  for (const job::RecordFunctions* functions : job::record_functions_for_this_processor()) {
    std::printf(" %s", functions->name);
  }
  std::printf("\n");
  return 0;
}
