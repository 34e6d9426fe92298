#pragma once

#include <windows.h>

#include <cstddef>

namespace textfile::windows {

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t kLargestTransfer = 1u << 30;

inline void close_handle(HANDLE& handle) {
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// Closes the handle it holds when it goes.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { close_handle(handle_); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

}  // namespace textfile::windows
