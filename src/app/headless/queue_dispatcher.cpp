#include "app/headless/queue_dispatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace sorvik {

// One hand-over: the closure and the worker's wait for it.
struct TQueueDispatcher::Job {
  std::function<void()> fn;
  std::mutex mutex;             // guards finished
  std::condition_variable cv;   // finished became true
  bool finished = false;        // ran, was dropped, or the wait was aborted; guarded by mutex

  void Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    cv.notify_all();
  }
};

TQueueDispatcher::TQueueDispatcher() : owner_(std::this_thread::get_id()) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TQueueDispatcher::~TQueueDispatcher() {
  std::deque<std::shared_ptr<Job>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }
  for (auto& job : dropped) job->Finish();
  if (wake_fd_ >= 0) close(wake_fd_);
}

// Worker threads. The wait ends when the owning thread has run `fn`, when
// `token` is cancelled (the tunnel's events were switched off), or when the
// dispatcher is destroyed; nothing else bounds it, by design: the hand-over is
// synchronous.
void TQueueDispatcher::RunSync(std::function<void()> fn, const std::shared_ptr<TDeliveryToken>& token) {
  if (std::this_thread::get_id() == owner_) {
    fn();
    return;
  }
  {
    // The owner is idle: run here, as the owner would, and return.
    std::lock_guard<std::mutex> lock(inline_mutex_);
    if (owner_idle_) {
      ++inline_runs_;
      try {
        fn();
      } catch (...) {
        // A failing display closure is ignored, as on the owner's thread.
      }
      if (epilogue_) {
        try {
          epilogue_();
        } catch (...) {
        }
      }
      return;
    }
  }
  auto job = std::make_shared<Job>();
  job->fn = std::move(fn);
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    first = queue_.empty();
    queue_.push_back(job);
  }
  // Only the first closure of a batch wakes the owner: the wake fd stays
  // readable until RunPending takes the whole queue (both under mutex_), so
  // later ones are picked up by the same wake-up.
  if (first) {
    cv_.notify_one();
    if (wake_fd_ >= 0) {
      uint64_t one = 1;
      ssize_t n = write(wake_fd_, &one, sizeof one);
      (void)n;
    }
  }
  TDeliveryToken::WakeId id = 0;
  if (token) id = token->OnCancel([job] { job->Finish(); });
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    job->cv.wait(lock, [&] { return job->finished; });
  }
  if (token) token->Unsubscribe(id);
}

int TQueueDispatcher::RunPending() {
  std::deque<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(queue_);
    if (wake_fd_ >= 0) {
      uint64_t count = 0;
      ssize_t n = read(wake_fd_, &count, sizeof count);
      (void)n;
    }
  }
  int ran = 0;
  for (auto& job : jobs) {
    try {
      job->fn();
    } catch (...) {
      // A failing display closure is ignored; the worker goes on.
    }
    job->Finish();
    ++ran;
  }
  return ran;
}

int TQueueDispatcher::WaitAndRun(int timeoutMs) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Bounded by timeoutMs.
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [&] { return !queue_.empty(); });
  }
  return RunPending();
}

TQueueDispatcher::IdleScope::IdleScope(TQueueDispatcher& d) : d_(d) {
  std::lock_guard<std::mutex> lock(d_.inline_mutex_);
  d_.owner_idle_ = true;
}

// Waits for a closure running inline (bounded by that closure).
TQueueDispatcher::IdleScope::~IdleScope() {
  std::lock_guard<std::mutex> lock(d_.inline_mutex_);
  d_.owner_idle_ = false;
}

void TQueueDispatcher::SetInlineEpilogue(std::function<void()> epilogue) {
  std::lock_guard<std::mutex> lock(inline_mutex_);
  epilogue_ = std::move(epilogue);
}

uint64_t TQueueDispatcher::InlineRuns() {
  std::lock_guard<std::mutex> lock(inline_mutex_);
  return inline_runs_;
}

size_t TQueueDispatcher::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

}  // namespace sorvik
