#include "route_in_blocks.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "job/record_router.h"
#include "memory_file_system.h"

namespace {

// An input that gives at most `block` bytes a read.
class BlockInput : public textfile::ReadableFile {
 public:
  BlockInput(const std::string& text, std::size_t block) : text_(text), block_(block) {}
  std::size_t read(char* into, std::size_t capacity) override {
    std::size_t count = std::min({capacity, block_, text_.size() - offset_});
    std::memcpy(into, text_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  textfile::FileIdentity identity() const override { return {}; }
  std::string real_path() const override { return std::string(); }
  textfile::FileIdentity folder_identity() const override { return {}; }
  std::uint64_t size() const override { return text_.size(); }
  std::uint64_t modified() const override { return 0; }
  void throw_if_changed() override {}
  bool pin(const std::string&) override { return false; }
  // No file to delete: the bytes are the test's.
  void remove(const std::string&) override {}
  void sync_folder() override {}
  void remove_second_name(const std::string&) override {}
  void close() override {}

 private:
  const std::string& text_;
  std::size_t block_;
  std::size_t offset_ = 0;
};

// The split output, opened at the first record bound for it, as the run does.
class LazySplit : public job::SplitOutputSource {
 public:
  explicit LazySplit(MemoryFileSystem& files) : files_(files) {}
  textfile::TextOutputFile& file() override {
    if (!file_) {
      file_ = std::make_unique<textfile::TextOutputFile>(files_.open_split_output("split", {}, {}));
    }
    return *file_;
  }
  void close() {
    if (file_) file_->close();
  }

 private:
  MemoryFileSystem& files_;
  std::unique_ptr<textfile::TextOutputFile> file_;
};

}  // namespace

Routed route_in_blocks(const std::string& input, bool marked, std::size_t block,
                       const job::RecordFunctions* functions) {
  if (!functions) functions = job::record_functions_for_this_processor().front();
  MemoryFileSystem files;
  textfile::TextOutputFile main(files.open_main_output("main", {}));
  LazySplit split(files);
  job::RecordRouter router(main, marked ? &split : nullptr, marked, *functions);
  textfile::TextInputFile text(std::make_unique<BlockInput>(input, block));
  std::size_t most_held_back = 0;
  job::route_input(text, router, [&] { most_held_back = std::max(most_held_back, text.size()); });
  main.close();
  split.close();
  return {files.content("main"), files.content("split"), files.has("split"),
          std::string(text.data(), text.size()), most_held_back};
}
