#include "textfile/text_input_file.h"

#include <cstring>
#include <utility>

namespace textfile {

TextInputFile::TextInputFile(std::unique_ptr<ReadableFile> file, std::unique_ptr<BackgroundIo> io)
    : file_(std::move(file)),
      io_(std::move(io)),
      buffers_{std::unique_ptr<char[]>(new char[kCarryRoom + kBlockSize]),
               std::unique_ptr<char[]>(new char[kCarryRoom + kBlockSize])} {}

TextInputFile::~TextInputFile() { wait_for_reading(); }

void TextInputFile::start_reading() {
  char* into = buffers_[1 - current_].get() + kCarryRoom;
  ReadableFile* file = file_.get();
  reading_ = io_->run<std::size_t>([file, into] { return file->read(into, kBlockSize); });
}

void TextInputFile::wait_for_reading() noexcept {
  if (reading_.valid()) reading_.wait();
}

bool TextInputFile::read_more() {
  if (at_end_) return false;
  std::size_t got;
  if (io_ == nullptr) {
    got = file_->read(buffers_[1 - current_].get() + kCarryRoom, kBlockSize);
  } else {
    if (!reading_.valid()) start_reading();
    got = reading_.get();
  }
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  std::size_t carried = size();
  assert(carried <= kCarryRoom);
  char* next = buffers_[1 - current_].get();
  std::memcpy(next + kCarryRoom - carried, data(), carried);
  current_ = 1 - current_;
  begin_ = kCarryRoom - carried;
  end_ = kCarryRoom + got;
  // The block just left is free again: the one after this is read into it meanwhile.
  if (io_ != nullptr) start_reading();
  return true;
}

void TextInputFile::close() {
  wait_for_reading();
  file_->close();
}

}  // namespace textfile
