#pragma once

#include <cassert>
#include <cstddef>
#include <memory>

#include "textfile/file_system.h"

namespace textfile {

// Reads an input in large blocks into one fixed buffer, so that memory stays bounded however
// long its lines are. The caller looks at the bytes read so far, consumes what it has used, and
// asks for more; unconsumed bytes are kept in front of the new ones, so a record that a block
// boundary cut in two is whole again after the next read.
class TextInputFile {
 public:
  static constexpr std::size_t kBufferSize = 4 << 20;

  explicit TextInputFile(std::unique_ptr<ReadableFile> file);

  const char* data() const { return buffer_.get() + begin_; }
  std::size_t size() const { return end_ - begin_; }
  void consume(std::size_t count) {
    assert(count <= size());
    begin_ += count;
  }

  // Reads the next block after the unconsumed bytes. Returns false, reading nothing, once the
  // whole file has been read. The unconsumed bytes must leave room in the buffer.
  bool read_more();
  // True once a read has found the end of the file: size() bytes are all that remain.
  bool at_end() const { return at_end_; }

  ReadableFile& file() { return *file_; }
  void close() { file_->close(); }

 private:
  std::unique_ptr<ReadableFile> file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
};

}  // namespace textfile
