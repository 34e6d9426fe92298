#include "route_in_blocks.h"

#include <algorithm>
#include <memory>

#include "job/record_router.h"
#include "memory_file_system.h"

namespace {

// The split output, opened at the first record bound for it, as the run does.
class LazySplit : public job::SplitOutputSource {
 public:
  explicit LazySplit(MemoryFileSystem& files) : files_(files) {}
  textfile::TextOutputFile& split_output() override {
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

Routed route_in_blocks(const std::string& input, bool marked, std::size_t block) {
  MemoryFileSystem files;
  textfile::TextOutputFile main(files.open_main_output("main", {}));
  LazySplit split(files);
  job::RecordRouter router(marked, main, split);
  std::string pending;
  std::size_t most_held_back = 0;
  std::size_t at = 0;
  for (;;) {
    std::size_t take = std::min(block, input.size() - at);
    pending.append(input, at, take);
    at += take;
    bool end = at == input.size();
    pending.erase(0, router.feed(pending.data(), pending.size(), end));
    if (end) break;
    most_held_back = std::max(most_held_back, pending.size());
  }
  main.close();
  split.close();
  return {files.content("main"), files.content("split"), files.has("split"), pending,
          most_held_back};
}
