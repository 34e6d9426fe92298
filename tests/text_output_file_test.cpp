#include "textfile/text_output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "textfile/file_failure.h"

namespace {

// Keeps what is written to it in `kept`, and fails its write number `failing_write` (counting
// from 1; 0 never). Only the writing thread touches it until the output is closed.
class KeptFile : public textfile::WritableFile {
 public:
  KeptFile(std::string& kept, int failing_write) : kept_(kept), failing_write_(failing_write) {}
  void write(const char* bytes, std::size_t size) override {
    if (++writes_ == failing_write_) throw textfile::FileFailure("cannot write", "kept", EIO, "");
    kept_.append(bytes, size);
  }
  std::uint64_t size() const override { return kept_.size(); }
  void truncate(std::uint64_t length) override { kept_.resize(length); }
  void sync() override {}
  textfile::FileIdentity identity() const override { return {}; }
  textfile::FileIdentity folder_identity() const override { return {}; }
  bool created() const override { return true; }
  std::uint64_t name_count() const override { return 1; }
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
  std::string& kept_;
  int failing_write_;
  int writes_ = 0;
};

// Numbered lines of changing lengths, for several turns of the writing thread's ring of
// buffers: a buffer written twice, dropped, or written out of turn changes the file. Each line
// goes in as the conversion writes it; `expected` gets the same lines, written down apart.
void write_numbered_lines(textfile::TextOutputFile& output, std::string& expected) {
  const std::size_t total =
      3 * textfile::TextOutputFile::kRingSize * textfile::TextOutputFile::kBufferSize;
  for (unsigned n = 0; expected.size() < total; ++n) {
    const std::string line = std::to_string(n) + std::string(n % 300, 'x');
    std::memcpy(output.begin_line(line.size()), line.data(), line.size());
    output.end_line(line.size());
    expected += line + "\r\n";
  }
}

TEST(TextOutputFile, WritingThreadKeepsTheLinesInOrderThroughEveryTurnOfItsRing) {
  std::string kept;
  std::string expected;
  {
    textfile::TextOutputFile output(std::make_unique<KeptFile>(kept, 0),
                                    std::make_unique<textfile::BackgroundIo>());
    write_numbered_lines(output, expected);
    output.close();
  }
  ASSERT_EQ(kept.size(), expected.size());
  EXPECT_TRUE(kept == expected);
}

// With buffers queued behind a failed write, none of them may reach the file: they would leave
// a gap in it. The failure itself reaches the caller.
TEST(TextOutputFile, NoBufferIsWrittenAfterOneWhoseWriteFailed) {
  std::string kept;
  std::string expected;
  bool failed = false;
  {
    textfile::TextOutputFile output(std::make_unique<KeptFile>(kept, 2),
                                    std::make_unique<textfile::BackgroundIo>());
    try {
      write_numbered_lines(output, expected);
      output.close();
    } catch (const textfile::FileFailure& failure) {
      failed = true;
      EXPECT_EQ(failure.error_number(), EIO);
    }
  }
  EXPECT_TRUE(failed);
  // The first buffer alone, as it was filled.
  ASSERT_GT(kept.size(), 0u);
  ASSERT_LE(kept.size(), textfile::TextOutputFile::kBufferSize);
  EXPECT_EQ(kept, expected.substr(0, kept.size()));
  EXPECT_EQ(kept.substr(kept.size() - 2), "\r\n");
}

}  // namespace
