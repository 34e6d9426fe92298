#include "textfile/text_output_file.h"

#include <utility>

namespace textfile {
namespace {

// Left uninitialised: every byte is written before it is read, and memory first touched by the
// conversion costs no clearing beforehand.
AlignedBuffer new_buffer() { return new_aligned_buffer(TextOutputFile::kBufferSize); }

}  // namespace

TextOutputFile::TextOutputFile(std::unique_ptr<WritableFile> file, std::unique_ptr<BackgroundIo> io)
    : file_(std::move(file)), io_(std::move(io)), buffers_{new_buffer()} {}

TextOutputFile::~TextOutputFile() {
  try {
    close();
  } catch (const std::exception&) {
    // Already on the way out of a failure, which is the one reported.
  }
  // Every write handed over refers to this file and its buffers.
  for (std::future<void>& writing : writing_) {
    if (writing.valid()) writing.wait();
  }
  if (syncing_.valid()) syncing_.wait();
}

void TextOutputFile::write_unless_failed(const char* bytes, std::size_t count) {
  // A buffer after a failed one would leave a gap in the file: it is dropped, and the failure
  // already waits for the caller.
  if (failed_) return;
  try {
    file_->write(bytes, count);
  } catch (...) {
    failed_ = true;
    throw;
  }
}

void TextOutputFile::flush() {
  if (used_ == 0) return;
  // Forget the buffered bytes before writing them: after a failed write they must not be
  // written a second time by a later flush.
  std::size_t count = used_;
  used_ = 0;
  if (io_ == nullptr) return file_->write(buffers_[current_].get(), count);
  const char* bytes = buffers_[current_].get();
  writing_[current_] = io_->run<void>([this, bytes, count] { write_unless_failed(bytes, count); });
  current_ = (current_ + 1) % kRingSize;
  // The next buffer is the oldest handed over: free once its write is done, which it usually is.
  if (writing_[current_].valid()) writing_[current_].get();
  if (!buffers_[current_]) buffers_[current_] = new_buffer();
}

void TextOutputFile::wait_for_writing() {
  // Oldest first, so that the first failure is the one that throws.
  for (int step = 1; step <= kRingSize; ++step) {
    std::future<void>& writing = writing_[(current_ + step) % kRingSize];
    if (writing.valid()) writing.get();
  }
  if (syncing_.valid()) syncing_.get();
}

void TextOutputFile::discard() {
  used_ = 0;
  for (;;) {
    try {
      wait_for_writing();
      return;
    } catch (const std::exception&) {
      // What that write did or did not do is taken back by the caller; the writes after it are
      // still waited for.
    }
  }
}

void TextOutputFile::begin_sync() {
  flush();
  wait_for_writing();
  if (io_ == nullptr) return file_->sync();
  WritableFile* file = file_.get();
  syncing_ = io_->run<void>([file] { file->sync(); });
}

void TextOutputFile::close() {
  if (closed_) return;
  closed_ = true;
  flush();
  wait_for_writing();
  file_->close();
}

}  // namespace textfile
