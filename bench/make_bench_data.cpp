// Writes one benchmark input: make_bench_data ascii|sjis|lfline OUTPUT [MiB]
//
//   ascii   single-byte records, lines ending in CR LF
//   sjis    the same shape with kanji and half-width katakana, lines ending in CR LF
//   lfline  the sjis bytes with LF line ends, which the program takes as ordinary characters:
//           the whole file is one line of records
//
// The file grows to at least the size asked for (256 MiB by default) and ends with the first
// line end past it. A fixed seed per kind makes every run write the same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_text.h"

namespace {

constexpr std::uint64_t kSeed = 20240502;

int usage() {
  std::fprintf(stderr, "usage: make_bench_data ascii|sjis|lfline OUTPUT [MiB]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) return usage();
  const std::string kind = argv[1];
  const char* path = argv[2];
  std::uint64_t mebibytes = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 256;
  if (mebibytes == 0) return usage();

  bench::TextKind text_kind;
  const char* line_end;
  if (kind == "ascii") {
    text_kind = bench::TextKind::kAscii;
    line_end = "\r\n";
  } else if (kind == "sjis") {
    text_kind = bench::TextKind::kSjis;
    line_end = "\r\n";
  } else if (kind == "lfline") {
    text_kind = bench::TextKind::kSjis;  // same seed as sjis: the same text, other line ends
    line_end = "\n";
  } else {
    return usage();
  }

  std::FILE* file = std::fopen(path, "wb");
  if (!file) {
    std::perror(path);
    return 1;
  }
  bench::BenchText text(text_kind, kSeed);
  const std::uint64_t target = mebibytes << 20;
  std::uint64_t written = 0;
  std::string chunk;
  while (written < target) {
    chunk.clear();
    while (chunk.size() < (1 << 20) && written + chunk.size() < target) {
      text.append_line(chunk);
      chunk += line_end;
    }
    if (std::fwrite(chunk.data(), 1, chunk.size(), file) != chunk.size()) {
      std::perror(path);
      return 1;
    }
    written += chunk.size();
  }
  if (std::fclose(file) != 0) {
    std::perror(path);
    return 1;
  }
  return 0;
}
