#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Synthetic input text for the benchmarks, shaped like the files the pipeline hands over:
// records of fixed-width fields (digits, capital letters, runs of blanks) with the record type
// (1, 2 or 3) as the fifth character, several records laid end to end on each line. The same
// seed gives the same bytes on every machine: the generator is its own, not the standard
// library's distributions, which differ between implementations.
namespace bench {

enum class TextKind {
  kAscii,  // single-byte characters only
  kSjis,   // about a third of the characters double-byte kanji, a tenth half-width katakana
};

class BenchText {
 public:
  BenchText(TextKind kind, std::uint64_t seed);

  // Appends one record of `characters` characters (the fifth, when there is one, is the type).
  // Without `blanks` no field is blank, so every separator of a continuation gets filled.
  void append_record(std::string& out, std::size_t characters, bool blanks = true);

  // Appends one line without its line end: 1, 2, 3, 5 or 8 full records, and in one line of
  // five a last record shorter than a full one.
  void append_line(std::string& out);

  // A number in [0, bound).
  std::uint64_t below(std::uint64_t bound);

 private:
  std::uint64_t next();
  void append_text_character(std::string& out);

  TextKind kind_;
  std::uint64_t state_;
};

}  // namespace bench
