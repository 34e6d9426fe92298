#include "textfile/text_input_file.h"

#include <cstring>
#include <utility>

namespace textfile {

TextInputFile::TextInputFile(std::unique_ptr<ReadableFile> file)
    : file_(std::move(file)), buffer_(new_aligned_buffer(kCarryRoom + kBlockSize)) {}

bool TextInputFile::read_more() {
  if (at_end_) return false;
  // The unconsumed bytes move to the end of the carry room first: a failed read leaves them as
  // they were for the caller, at their new place.
  std::size_t carried = size();
  assert(carried <= kCarryRoom);
  std::memmove(buffer_.get() + kCarryRoom - carried, data(), carried);
  begin_ = kCarryRoom - carried;
  end_ = kCarryRoom;
  std::size_t got = file_->read(buffer_.get() + kCarryRoom, kBlockSize);
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  end_ = kCarryRoom + got;
  return true;
}

}  // namespace textfile
