#include "textfile/text_output_file.h"

#include <utility>

namespace textfile {

// The buffer always has room for a line written in place, whatever size was asked for.
TextOutputFile::TextOutputFile(std::unique_ptr<WritableFile> file, std::size_t buffer_size)
    : file_(std::move(file)),
      capacity_(buffer_size < kLargestLineInPlace + 2 ? kLargestLineInPlace + 2 : buffer_size) {
  buffer_.reset(new char[capacity_]);
}

void TextOutputFile::flush() {
  if (used_ == 0) return;
  // Forget the buffered bytes before writing them: after a failed write they must not be
  // written a second time by a later flush.
  std::size_t count = used_;
  used_ = 0;
  file_->write(buffer_.get(), count);
}

void TextOutputFile::sync() {
  flush();
  file_->sync();
}

void TextOutputFile::close() {
  if (closed_) return;
  closed_ = true;
  flush();
  file_->close();
}

}  // namespace textfile
