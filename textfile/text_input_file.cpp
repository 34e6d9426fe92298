#include "textfile/text_input_file.h"

#include <cstring>
#include <utility>

namespace textfile {

TextInputFile::TextInputFile(std::unique_ptr<ReadableFile> file, std::size_t buffer_size)
    : file_(std::move(file)), buffer_(new char[buffer_size]), capacity_(buffer_size) {}

bool TextInputFile::read_more() {
  if (at_end_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  std::size_t got = file_->read(buffer_.get() + end_, capacity_ - end_);
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  end_ += got;
  return true;
}

}  // namespace textfile
