#include "textfile/text_output_file.h"

#include <utility>

namespace textfile {

TextOutputFile::TextOutputFile(std::unique_ptr<WritableFile> file, std::unique_ptr<BackgroundIo> io)
    : file_(std::move(file)),
      io_(std::move(io)),
      buffers_{std::unique_ptr<char[]>(new char[kBufferSize]),
               std::unique_ptr<char[]>(io_ != nullptr ? new char[kBufferSize] : nullptr)} {}

TextOutputFile::~TextOutputFile() {
  try {
    close();
  } catch (const std::exception&) {
    // Already on the way out of a failure, which is the one reported.
  }
  if (writing_.valid()) writing_.wait();
}

void TextOutputFile::flush() {
  if (used_ == 0) return;
  // Forget the buffered bytes before writing them: after a failed write they must not be
  // written a second time by a later flush.
  std::size_t count = used_;
  used_ = 0;
  if (io_ == nullptr) return file_->write(buffers_[current_].get(), count);
  wait_for_writing();
  const char* bytes = buffers_[current_].get();
  WritableFile* file = file_.get();
  writing_ = io_->run<void>([file, bytes, count] { file->write(bytes, count); });
  current_ = 1 - current_;
}

void TextOutputFile::wait_for_writing() {
  if (writing_.valid()) writing_.get();
}

void TextOutputFile::discard() {
  used_ = 0;
  try {
    wait_for_writing();
  } catch (const std::exception&) {
    // What that write did or did not do is taken back by the caller.
  }
}

void TextOutputFile::begin_sync() {
  flush();
  wait_for_writing();
  if (io_ == nullptr) return file_->sync();
  WritableFile* file = file_.get();
  writing_ = io_->run<void>([file] { file->sync(); });
}

void TextOutputFile::close() {
  if (closed_) return;
  closed_ = true;
  flush();
  wait_for_writing();
  file_->close();
}

}  // namespace textfile
