#include "bench/bench_text.h"

#include "job/job_constants.h"

namespace bench {
namespace {

constexpr char kDigitsAndCapitals[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kLineRecordCounts[] = {1, 2, 3, 5, 8};

}  // namespace

BenchText::BenchText(TextKind kind, std::uint64_t seed) : kind_(kind), state_(seed) {}

// splitmix64: small, fast and fully defined, so the data is the same everywhere.
std::uint64_t BenchText::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t BenchText::below(std::uint64_t bound) { return next() % bound; }

// One character of a non-blank field. For Shift_JIS text the blanks make up about a fifth of
// the characters, so 42 % kanji and 12 % katakana here give about a third and a tenth overall.
void BenchText::append_text_character(std::string& out) {
  if (kind_ == TextKind::kSjis) {
    std::uint64_t pick = below(100);
    if (pick < 42) {
      // Kanji of the first and second levels: lead 0x89-0x9F or 0xE0-0xE9, any trail byte.
      std::uint64_t lead = below(23 + 10);
      out += static_cast<char>(lead < 23 ? 0x89 + lead : 0xE0 + (lead - 23));
      std::uint64_t trail = below(63 + 125);
      out += static_cast<char>(trail < 63 ? 0x40 + trail : 0x80 + (trail - 63));
      return;
    }
    if (pick < 54) {
      out += static_cast<char>(0xA6 + below(0xDF - 0xA6 + 1));  // half-width katakana
      return;
    }
  }
  out += kDigitsAndCapitals[below(sizeof kDigitsAndCapitals - 1)];
}

void BenchText::append_record(std::string& out, std::size_t characters, bool blanks) {
  std::size_t position = 1;
  while (position <= characters) {
    // Fields: a run of blanks one time in four, otherwise a run of text.
    std::size_t run = 1 + below(12);
    bool blank_run = below(4) == 0 && blanks;
    for (; run > 0 && position <= characters; --run, ++position) {
      if (position == job::kRecordTypePosition) {
        out += static_cast<char>('1' + below(3));
      } else if (blank_run) {
        out += ' ';
      } else {
        append_text_character(out);
      }
    }
  }
}

void BenchText::append_line(std::string& out) {
  std::size_t records = kLineRecordCounts[below(sizeof kLineRecordCounts / sizeof(std::size_t))];
  bool short_end = below(5) == 0;
  for (std::size_t i = 0; i < records; ++i) {
    bool last = i + 1 == records;
    append_record(out, last && short_end ? 1 + below(job::kRecordLength - 1) : job::kRecordLength);
  }
}

}  // namespace bench
