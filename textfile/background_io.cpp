#include "textfile/background_io.h"

#include <utility>

namespace textfile {

BackgroundIo::BackgroundIo() : thread_([this] { serve(); }) {}

BackgroundIo::~BackgroundIo() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_arrived_.notify_one();
  thread_.join();
}

void BackgroundIo::hand_over(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(work));
  }
  work_arrived_.notify_one();
}

void BackgroundIo::serve() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_arrived_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    // A packaged task: what it throws is kept for the one who waits on it.
    work();
  }
}

}  // namespace textfile
