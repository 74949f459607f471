// A simple IUiDispatcher: a queue of closures that the owning ("UI") thread
// drains. Used by window-less mode and by the tests; the Qt window has its own.
//
// Thread contract: RunSync from any thread; RunPending/WaitAndRun and the
// constructor/destructor on the owning thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/app_core.h"

namespace sorvik {

class TQueueDispatcher : public IUiDispatcher {
 public:
  // The calling thread becomes the owning thread.
  TQueueDispatcher();
  // Wakes every waiting RunSync; queued closures are dropped.
  ~TQueueDispatcher() override;

  void RunSync(std::function<void()> fn, const std::shared_ptr<TDeliveryToken>& token) override;

  // Owning thread: runs every queued closure; returns how many ran.
  int RunPending();
  // Owning thread: waits up to `timeoutMs` (bounded) for a closure, then runs
  // the pending ones. Returns how many ran.
  int WaitAndRun(int timeoutMs);
  // A descriptor that is readable while closures are queued (eventfd), for
  // poll() loops. Owned by the dispatcher.
  int WakeFd() const { return wake_fd_; }
  // Closures waiting right now (tests).
  size_t Pending();

 private:
  struct Job;
  std::thread::id owner_;
  int wake_fd_ = -1;
  std::mutex mutex_;                       // guards queue_ and closed_
  std::condition_variable cv_;             // queue_ became non-empty
  std::deque<std::shared_ptr<Job>> queue_; // guarded by mutex_
  bool closed_ = false;                    // guarded by mutex_
};

}  // namespace sorvik
