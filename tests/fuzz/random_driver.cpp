// Runs the record logic fuzz target without libFuzzer: seeded random inputs, a fixed number of
// them, so that every build's test run compares the router with its model. Inputs are drawn
// from the bytes that matter (line ends, Shift_JIS lead and trail bytes, blanks, the type
// character) and run to several records a line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "job/record_functions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  const unsigned long iterations = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  const std::uint8_t low[] = {'\n', ' ', '2', '0', 'a', 0x40, 0x7E, 0x00, 0x7F};
  const std::uint8_t high[] = {0x81, 0x82, 0x9F, 0xE0, 0xFC, 0x80, 0xA0, 0xFD};
  // Each input has a shape of its own, how often a line ends and how often a byte is 0x80 or
  // above: long lines of single-byte text with a lone double-byte character somewhere come up
  // as often as short lines of anything.
  const unsigned line_every[] = {8, 60, 900};
  const unsigned high_every[] = {2, 40, 1500};
  std::mt19937 random(20261209);
  std::vector<std::uint8_t> input;
  for (unsigned long i = 0; i < iterations; ++i) {
    input.assign({static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random())});
    const unsigned lines = line_every[random() % 3];
    const unsigned highs = high_every[random() % 3];
    std::size_t size = random() % 2400;
    for (std::size_t at = 0; at < size; ++at) {
      if (random() % lines == 0) {
        input.push_back('\r');
      } else if (random() % highs == 0) {
        input.push_back(random() % 3 == 0 ? static_cast<std::uint8_t>(random())
                                          : high[random() % sizeof high]);
      } else {
        input.push_back(random() % 8 == 0 ? static_cast<std::uint8_t>(random() & 0x7F)
                                          : low[random() % sizeof low]);
      }
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
