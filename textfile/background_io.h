#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

// One thread that reads and writes files while the conversion goes on, so that a run costs about
// the larger of its copying and its converting instead of their sum. Work is done in the order it
// is handed over; a failure inside it reaches the caller when the caller waits for that work.
namespace textfile {

class BackgroundIo {
 public:
  BackgroundIo();
  // Finishes the work handed over, then ends the thread.
  ~BackgroundIo();
  BackgroundIo(const BackgroundIo&) = delete;
  BackgroundIo& operator=(const BackgroundIo&) = delete;

  template <typename Result>
  std::future<Result> run(std::function<Result()> work) {
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
    std::future<Result> result = task->get_future();
    hand_over([task] { (*task)(); });
    return result;
  }

 private:
  void hand_over(std::function<void()> work);
  void serve();

  std::mutex mutex_;
  std::condition_variable work_arrived_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace textfile
