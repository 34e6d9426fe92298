#include "textfile/text_output_file.h"

#include <utility>

namespace textfile {

TextOutputFile::TextOutputFile(std::unique_ptr<WritableFile> file)
    : file_(std::move(file)), buffer_(new char[kBufferSize]) {}

TextOutputFile::~TextOutputFile() {
  try {
    close();
  } catch (const std::exception&) {
    // Already on the way out of a failure, which is the one reported.
  }
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
