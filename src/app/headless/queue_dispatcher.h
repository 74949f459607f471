// A simple IUiDispatcher: a queue of closures that the owning ("UI") thread
// drains. Used by window-less mode and by the tests; the Qt window has its own.
//
// While the owner declares itself idle (an IdleScope around its wait for the
// wake fd), a worker's closure runs at once on the worker's own thread instead,
// under the dispatcher's inline lock: the owner does nothing else while it is
// idle and cannot leave the scope while such a closure runs, so the closure
// sees the owner's data exactly as the owner would, one closure at a time, and
// the hand-over is still synchronous, without waking the owner at all. Outside
// an IdleScope every closure goes through the queue.
//
// Thread contract: RunSync from any thread; RunPending/WaitAndRun, IdleScope,
// SetInlineEpilogue and the constructor/destructor on the owning thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/core/app_core.h"

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

  // Owning thread: while an IdleScope lives, closures of other threads run on
  // their own thread (see above). Leaving the scope waits for a closure that is
  // running inline to finish. Do not nest.
  class IdleScope {
   public:
    explicit IdleScope(TQueueDispatcher& d);
    ~IdleScope();
    IdleScope(const IdleScope&) = delete;
    IdleScope& operator=(const IdleScope&) = delete;

   private:
    TQueueDispatcher& d_;
  };
  // Owning thread, outside an IdleScope: run after each closure that ran
  // inline, under the inline lock, on the worker that ran it.
  void SetInlineEpilogue(std::function<void()> epilogue);
  // Closures that ran inline so far (tests).
  uint64_t InlineRuns();

 private:
  struct Job;
  std::thread::id owner_;
  int wake_fd_ = -1;
  std::mutex mutex_;                       // guards queue_ and closed_
  std::condition_variable cv_;             // queue_ became non-empty
  std::deque<std::shared_ptr<Job>> queue_; // guarded by mutex_
  bool closed_ = false;                    // guarded by mutex_
  // Held by a worker while its closure runs inline, and by the owner while it
  // enters or leaves an IdleScope. Never held together with mutex_.
  std::mutex inline_mutex_;
  bool owner_idle_ = false;                // guarded by inline_mutex_
  std::function<void()> epilogue_;         // guarded by inline_mutex_ (set while not idle)
  uint64_t inline_runs_ = 0;               // guarded by inline_mutex_
};

}  // namespace sorvik
