#pragma once

#include <cassert>
#include <cstddef>
#include <future>
#include <memory>

#include "textfile/aligned_buffer.h"
#include "textfile/background_io.h"
#include "textfile/code_page.h"
#include "textfile/file_system.h"

namespace textfile {

// Writes lines of text, each followed by CR LF, into large buffers that go to the file in big
// blocks. With a writing thread, a full buffer is handed to it and lines go on into the next of a
// ring of kRingSize buffers: the conversion waits only when the writing has fallen a whole ring
// behind, and the thread only when the conversion has. A failure of a write throws at a later
// flush, sync or close, and no later buffer of the file is written after it.
class TextOutputFile {
 public:
  static constexpr std::size_t kBufferSize = 512 << 10;
  // Buffers on the way to the file at once, with a writing thread; each is allocated when first
  // used, so a small output takes one.
  static constexpr int kRingSize = 4;

  // With `io`, a thread of the file's own that writes while lines go into the next buffer.
  explicit TextOutputFile(std::unique_ptr<WritableFile> file,
                          std::unique_ptr<BackgroundIo> io = nullptr);
  // Closes the file if that was not done, writing out what is buffered as far as it can: after
  // a failure the file keeps the lines written before.
  ~TextOutputFile();

  // Lines are written in place, so that a record is copied once on its way to the file and
  // filled on the way when it needs it: begin_line() gives room for up to `max_size` bytes (at
  // most kLargestLineInPlace) straight in the buffer, the caller writes the line there, and
  // end_line() adds CR LF after the `size` bytes it used.
  static constexpr std::size_t kLargestLineInPlace = 1024;  // a record is at most 512 bytes
  char* begin_line(std::size_t max_size) {
    assert(max_size <= kLargestLineInPlace);
    if (kBufferSize - used_ < max_size + 2) flush();
    return buffers_[current_].get() + used_;
  }
  void end_line(std::size_t size) {
    assert(used_ + size + 2 <= kBufferSize);  // no more than begin_line() made room for
    char* end = buffers_[current_].get() + used_ + size;
    end[0] = static_cast<char>(kCarriageReturn);
    end[1] = static_cast<char>(kLineFeed);
    used_ += size + 2;
  }

  // Hands everything buffered to the file.
  void flush();
  // Forgets what is buffered and not yet written, and waits for a write still going on, whatever
  // becomes of it.
  void discard();
  // Flushes, then makes the whole file durable, on the file's own writing thread where it has
  // one, while the caller goes on; a failure throws at wait(), file() or close().
  void begin_sync();
  // Waits for every write and the sync handed over.
  void wait() { wait_for_writing(); }
  // Flushes and releases the file. Closing twice does nothing.
  void close();

  // The file, once every write handed over is done.
  WritableFile& file() {
    wait_for_writing();
    return *file_;
  }

 private:
  // Runs on the writing thread, which alone reads and sets failed_.
  void write_unless_failed(const char* bytes, std::size_t count);
  void wait_for_writing();

  std::unique_ptr<WritableFile> file_;
  // The file's own writing thread, or none. Every write handed to it is waited for before the
  // file goes.
  std::unique_ptr<BackgroundIo> io_;
  // The buffer lines go into is current_; the others, in ring order after it, are being written
  // or free, each with the outcome of its last write in writing_.
  AlignedBuffer buffers_[kRingSize];
  std::future<void> writing_[kRingSize];
  std::future<void> syncing_;
  int current_ = 0;
  std::size_t used_ = 0;
  bool failed_ = false;
  bool closed_ = false;
};

}  // namespace textfile
