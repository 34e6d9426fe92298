#pragma once

#include <cstddef>
#include <memory>

#include "textfile/file_system.h"

namespace textfile {

// Writes lines of text, each followed by CR LF, into a large buffer that goes to the file in
// big blocks.
class TextOutputFile {
 public:
  static constexpr std::size_t kDefaultBufferSize = 1 << 20;

  explicit TextOutputFile(std::unique_ptr<WritableFile> file,
                          std::size_t buffer_size = kDefaultBufferSize);

  // Writes `bytes` as they are, then CR LF.
  void write_line(const char* bytes, std::size_t size);
  // Hands everything buffered to the file.
  void flush();
  // Forgets what is buffered and not yet written.
  void discard() { used_ = 0; }
  // Flushes, then makes the whole file durable.
  void sync();
  // Flushes and releases the file. Closing twice does nothing.
  void close();

  WritableFile& file() { return *file_; }

 private:
  std::unique_ptr<WritableFile> file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool closed_ = false;
};

}  // namespace textfile
