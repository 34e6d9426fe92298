#pragma once

#include <cassert>
#include <cstddef>
#include <memory>

#include "textfile/aligned_buffer.h"
#include "textfile/file_system.h"

namespace textfile {

// Reads an input in blocks, so that memory stays bounded however long its lines are. The caller
// looks at the bytes read so far, consumes what it has used, and asks for more; unconsumed bytes
// are kept in front of the new ones, so a record that a block boundary cut in two is whole again
// after the next read.
//
// The blocks are read by the thread that converts them, and are small enough to stay in its
// cache with the output buffer the records go to: a thread that read ahead into larger blocks
// cost more in copies between processor caches and in handing blocks over than it saved, and the
// system reads ahead of a file read in order all the same.
class TextInputFile {
 public:
  static constexpr std::size_t kBlockSize = 256 << 10;
  // The most unconsumed bytes a caller may leave before asking for more.
  static constexpr std::size_t kCarryRoom = 64 << 10;
  // Each block is read in just past the carry room, as aligned as the buffer.
  static_assert(kCarryRoom % kBufferAlignment == 0, "blocks are read to an aligned place");

  explicit TextInputFile(std::unique_ptr<ReadableFile> file);

  const char* data() const { return buffer_.get() + begin_; }
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
  void close() { file_->close(); }

 private:
  std::unique_ptr<ReadableFile> file_;
  // Room in front for the bytes carried over, then one block.
  AlignedBuffer buffer_;
  std::size_t begin_ = kCarryRoom;
  std::size_t end_ = kCarryRoom;
  bool at_end_ = false;
};

}  // namespace textfile
