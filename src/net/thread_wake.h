// Ending a blocked wait of one thread from another without a descriptor.
//
// A thread that waits registers with a TWaker for the length of the wait
// (TWaker::Scope) and waits in WakeablePoll(). Wake() marks the waker for good
// and sends the registered thread the wake signal, a real-time signal with an
// empty handler. The signal stays blocked on a registered thread except inside
// the ppoll() of WakeablePoll(), which unblocks it atomically, so a wake that
// comes before the thread has begun to sleep stays pending and ends the sleep
// at once: no wake is lost, and none costs a descriptor.
//
// Thread contract: Wake() and Woken() from any thread; a Scope and
// WakeablePoll() on the waiting thread. A waker is waited on by one thread at a
// time (scopes of that thread may nest). The waker must outlive every Scope
// and every Wake() call on it.
#pragma once

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

namespace sorvik {

class TWaker {
 public:
  TWaker() = default;
  TWaker(const TWaker&) = delete;
  TWaker& operator=(const TWaker&) = delete;

  // Any thread: marks the waker woken (for good) and ends the wait of the
  // thread registered with it, now or at the start of its next sleep.
  void Wake();
  // The same, except that the registered thread is not signalled while each
  // of its scopes with this waker polls a stop descriptor that the caller has
  // already made readable (a relay on deactivation): that descriptor ends the
  // wait, and a signal would only cost the thread a wake-up.
  void WakeUnlessPollingStop();
  bool Woken() const { return woken_.load(std::memory_order_acquire); }

  // The calling thread is the waker's waiter while the scope lives; the wake
  // signal is blocked on the thread meanwhile (outside WakeablePoll()).
  class Scope {
   public:
    // `pollsStop`: the wait also polls its server's stop descriptor.
    explicit Scope(TWaker& waker, bool pollsStop = false);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    TWaker& waker_;
    const bool polls_stop_;
  };

 private:
  std::mutex mutex_;
  pthread_t thread_{};  // guarded by mutex_: the waiter while depth_ > 0
  int depth_ = 0;       // guarded by mutex_: nested scopes of the waiter
  int blind_ = 0;       // guarded by mutex_: those of them that do not poll a stop descriptor
  std::atomic<bool> woken_{false};
};

// poll() that a Wake() of a waker the calling thread is registered with ends:
// then -1 with errno EINTR (as for any other signal). Call only inside a
// TWaker::Scope, or on a thread that called BlockWakeSignalForThread().
int WakeablePoll(pollfd* fds, nfds_t count, int timeoutMs);

// Blocks the wake signal on the calling thread for its whole life (a worker
// thread that waits again and again spares the mask changes of each scope).
void BlockWakeSignalForThread();

}  // namespace sorvik
