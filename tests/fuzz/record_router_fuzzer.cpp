// Feeds arbitrary bytes, in blocks of arbitrary size, to the record router and checks its
// outputs against a plain model of the rules that works one character at a time, for every
// build of the per-record work this processor runs.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "route_in_blocks.h"

namespace {

using Characters = std::vector<std::string>;

bool lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool trail(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

Characters characters_of(const std::string& line) {
  Characters characters;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t length = i + 1 < line.size() && lead(line[i]) && trail(line[i + 1]) ? 2 : 1;
    characters.push_back(line.substr(i, length));
    i += length;
  }
  return characters;
}

// The character at 1-based `position` of `rest`, or "" past its end.
std::string at(const Characters& rest, std::size_t begin, std::size_t position) {
  return begin + position - 1 < rest.size() ? rest[begin + position - 1] : "";
}

void model_line(const std::string& line, bool marked, std::string& main, std::string& split) {
  Characters text = characters_of(line);
  const std::size_t rules[2][3] = {{marked ? 48u : 29u, marked ? 49u : 30u, marked ? 50u : 31u},
                                   {marked ? 52u : 33u, marked ? 53u : 34u, marked ? 54u : 35u}};
  for (std::size_t begin = 0; begin < text.size(); begin += 256) {
    if (begin > 0) {
      for (const auto& rule : rules) {
        if (at(text, begin, rule[0]) != " " && at(text, begin, rule[2]) != " " &&
            begin + rule[1] - 1 < text.size()) {
          text[begin + rule[1] - 1] = "-";
        }
      }
    }
    std::string record;
    for (std::size_t i = begin; i < text.size() && i < begin + 256; ++i) record += text[i];
    bool to_split = marked && at(text, begin, 5) == "2" && begin + 5 <= text.size();
    (to_split ? split : main) += record + "\r\n";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool marked = data[0] & 1;
  const std::size_t block = 1 + data[1] * 3;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string expected_main, expected_split, line;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] != '\r') {
      line += input[i];
      continue;
    }
    if (i + 1 < input.size() && input[i + 1] == '\n') ++i;
    model_line(line, marked, expected_main, expected_split);
    line.clear();
  }
  model_line(line, marked, expected_main, expected_split);

  for (const job::RecordFunctions* functions : job::record_functions_for_this_processor()) {
    Routed routed = route_in_blocks(input, marked, block, functions);
    if (!routed.left_over.empty() || routed.main != expected_main ||
        routed.split != expected_split) {
      std::abort();
    }
  }
  return 0;
}
