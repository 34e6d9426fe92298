// The record logic alone: cutting lines into records, routing them and filling separators, with
// the input read from memory and the outputs thrown away. It shows what the program costs beyond
// moving the bytes, case by case, and guides the work on the hot loop.
//
// The bytes pass through textfile::TextInputFile and textfile::TextOutputFile exactly as in a
// run, block by block, so the buffer handling is measured as well.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "bench/bench_text.h"
#include "job/job_constants.h"
#include "job/record_router.h"
#include "textfile/text_input_file.h"
#include "textfile/text_output_file.h"

namespace {

constexpr std::size_t kTextSize = 16 << 20;  // several input blocks, well past the caches

// An input whose bytes are already in memory; each read copies, as reading a cached file does.
class MemoryInput : public textfile::ReadableFile {
 public:
  explicit MemoryInput(const std::string& text) : text_(text) {}
  std::size_t read(char* into, std::size_t capacity) override {
    std::size_t count = std::min(capacity, text_.size() - at_);
    std::memcpy(into, text_.data() + at_, count);
    at_ += count;
    return count;
  }
  textfile::FileIdentity identity() const override { return {}; }
  std::uint64_t size() const override { return text_.size(); }
  std::uint64_t modified() const override { return 0; }
  void throw_if_changed() override {}
  std::string real_path() const override { return std::string(); }
  textfile::FileIdentity folder_identity() const override { return {}; }
  bool pin(const std::string&) override { return false; }
  void remove(const std::string&) override {}  // no file to delete: the bytes are the bench's
  void sync_folder() override {}
  void remove_second_name(const std::string&) override {}
  void close() override {}

 private:
  const std::string& text_;
  std::size_t at_ = 0;
};

// An output that only counts, so the benchmark measures no disk.
class DiscardingOutput : public textfile::WritableFile {
 public:
  void write(const char* bytes, std::size_t size) override {
    benchmark::DoNotOptimize(bytes);
    size_ += size;
  }
  std::uint64_t size() const override { return size_; }
  void truncate(std::uint64_t length) override { size_ = length; }
  void sync() override {}
  textfile::FileIdentity identity() const override { return {}; }
  textfile::FileIdentity folder_identity() const override { return {}; }
  bool created() const override { return false; }
  std::uint64_t name_count() const override { return 1; }
  // No file, so no name, no folder and nothing beside it.
  void remove() override {}
  void sync_folder() override {}
  std::optional<std::string> read_trusted_file(const std::string&) const override {
    return std::nullopt;
  }
  void write_file_beside(const std::string&, const std::string&) override {}
  void append_to_file_beside(const std::string&, const std::string&) override {}
  void remove_file_beside(const std::string&) override {}
  void close() override {}

 private:
  std::uint64_t size_ = 0;
};

class DiscardingSplitOutput : public job::SplitOutputSource {
 public:
  textfile::TextOutputFile& file() override { return output_; }

 private:
  textfile::TextOutputFile output_{std::make_unique<DiscardingOutput>()};
};

enum class Layout {
  kOneRecordLines,  // every record a line of its own: no continuation, no fill
  kFilledLines,     // lines of eight records without blanks: every continuation is filled
  kFileLines,       // lines as in the benchmark files: 1 to 8 records, some short
};

std::string make_text(bench::TextKind kind, Layout layout, const char* line_end) {
  bench::BenchText text(kind, 1);
  std::string out;
  out.reserve(kTextSize + 8 * 2 * job::kRecordLength);
  while (out.size() < kTextSize) {
    switch (layout) {
      case Layout::kOneRecordLines:
        text.append_record(out, job::kRecordLength);
        break;
      case Layout::kFilledLines:
        for (int i = 0; i < 8; ++i) text.append_record(out, job::kRecordLength, false);
        break;
      case Layout::kFileLines:
        text.append_line(out);
        break;
    }
    out += line_end;
  }
  return out;
}

// Converts the whole text per iteration, as a marked input: routing and the later fill
// positions are both in play. The per-record work is the build the program would choose,
// unless `portable` asks for the one every processor runs.
void convert(benchmark::State& state, const std::string& text, bool portable = false) {
  const auto& builds = job::record_functions_for_this_processor();
  const job::RecordFunctions& functions = portable ? *builds.back() : *builds.front();
  for (auto _ : state) {
    textfile::TextOutputFile main_output(std::make_unique<DiscardingOutput>());
    DiscardingSplitOutput split_output;
    job::RecordRouter router(main_output, &split_output, true, functions);
    textfile::TextInputFile input(std::make_unique<MemoryInput>(text));
    job::route_input(input, router);
    main_output.flush();
    split_output.file().flush();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The floor the record logic is measured against: the same bytes through the same input and
// output buffers, cut every kRecordLength bytes without looking at them.
void copy_only(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    textfile::TextOutputFile output(std::make_unique<DiscardingOutput>());
    textfile::TextInputFile input(std::make_unique<MemoryInput>(text));
    while (input.read_more()) {
      while (input.size() > 0) {
        std::size_t piece = std::min(input.size(), job::kRecordLength);
        std::memcpy(output.begin_line(piece), input.data(), piece);
        output.end_line(piece);
        input.consume(piece);
      }
    }
    output.flush();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The texts are made once, on first use, and shared by all runs of a case.
const std::string& text_of(bench::TextKind kind, Layout layout, const char* line_end) {
  static std::map<std::tuple<bench::TextKind, Layout, std::string>, std::string> texts;
  auto key = std::make_tuple(kind, layout, std::string(line_end));
  auto found = texts.find(key);
  if (found == texts.end()) found = texts.emplace(key, make_text(kind, layout, line_end)).first;
  return found->second;
}

void BM_CopyOnly(benchmark::State& state) {
  copy_only(state, text_of(bench::TextKind::kSjis, Layout::kFileLines, "\r\n"));
}

void BM_Records(benchmark::State& state, bench::TextKind kind) {
  convert(state, text_of(kind, Layout::kOneRecordLines, "\r\n"));
}

void BM_FilledContinuations(benchmark::State& state, bench::TextKind kind) {
  convert(state, text_of(kind, Layout::kFilledLines, "\r\n"));
}

void BM_FileLines(benchmark::State& state, bench::TextKind kind, const char* line_end) {
  convert(state, text_of(kind, Layout::kFileLines, line_end));
}

void BM_FileLinesPortable(benchmark::State& state, bench::TextKind kind) {
  convert(state, text_of(kind, Layout::kFileLines, "\r\n"), true);
}

}  // namespace

BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Records, ascii, bench::TextKind::kAscii)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Records, sjis, bench::TextKind::kSjis)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilledContinuations, ascii, bench::TextKind::kAscii)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilledContinuations, sjis, bench::TextKind::kSjis)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FileLines, ascii, bench::TextKind::kAscii, "\r\n")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FileLines, sjis, bench::TextKind::kSjis, "\r\n")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FileLines, lfline, bench::TextKind::kSjis, "\n")
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_FileLinesPortable, ascii, bench::TextKind::kAscii)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FileLinesPortable, sjis, bench::TextKind::kSjis)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
