#include "textfile/text_input_file.h"

#include <cstring>
#include <utility>

namespace textfile {

TextInputFile::TextInputFile(std::unique_ptr<ReadableFile> file)
    : file_(std::move(file)), buffer_(new char[kBufferSize]) {}

bool TextInputFile::read_more() {
  if (at_end_) return false;
  assert(end_ - begin_ < kBufferSize);  // the unconsumed bytes leave room to read into
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  std::size_t got = file_->read(buffer_.get() + end_, kBufferSize - end_);
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  end_ += got;
  return true;
}

}  // namespace textfile
