#pragma once

#include <cassert>
#include <cstddef>
#include <future>
#include <memory>

#include "textfile/background_io.h"
#include "textfile/file_system.h"

namespace textfile {

// Reads an input in large blocks, so that memory stays bounded however long its lines are. The
// caller looks at the bytes read so far, consumes what it has used, and asks for more; unconsumed
// bytes are kept in front of the new ones, so a record that a block boundary cut in two is whole
// again after the next read. With background I/O, the next block is read while the caller works
// on this one.
class TextInputFile {
 public:
  static constexpr std::size_t kBlockSize = 2 << 20;
  // The most unconsumed bytes a caller may leave before asking for more.
  static constexpr std::size_t kCarryRoom = 64 << 10;

  // With `io`, a thread of the file's own that reads the next block ahead.
  explicit TextInputFile(std::unique_ptr<ReadableFile> file,
                         std::unique_ptr<BackgroundIo> io = nullptr);
  // Waits for a read still going on.
  ~TextInputFile();

  const char* data() const { return buffers_[current_].get() + begin_; }
  std::size_t size() const { return end_ - begin_; }
  void consume(std::size_t count) {
    assert(count <= size());
    begin_ += count;
  }

  // Reads the next block after the unconsumed bytes (at most kCarryRoom of them). Returns false,
  // reading nothing, once the whole file has been read; a failure of the read throws here.
  bool read_more();
  // True once a read has found the end of the file: size() bytes are all that remain.
  bool at_end() const { return at_end_; }

  ReadableFile& file() { return *file_; }
  void close();

 private:
  void start_reading();
  void wait_for_reading() noexcept;

  std::unique_ptr<ReadableFile> file_;
  // The file's own reading thread, or none. A read handed to it is waited for before the file
  // goes.
  std::unique_ptr<BackgroundIo> io_;
  // Two blocks, each with room in front for the bytes carried over: one is read into while the
  // caller works on the other.
  std::unique_ptr<char[]> buffers_[2];
  int current_ = 0;
  std::future<std::size_t> reading_;
  std::size_t begin_ = kCarryRoom;
  std::size_t end_ = kCarryRoom;
  bool at_end_ = false;
};

}  // namespace textfile
