// The switch that cuts a tunnel's event delivery off, as seen by a receiver.
//
// A tunnel hands each event to its OnTunnelEvent hook on the reporting worker's
// thread. A receiver that passes the event on synchronously to another thread
// (the UI thread) must not keep the worker waiting once the tunnel's events are
// switched off: the UI thread may be about to wait for that very worker (stop,
// removal, release). For that, every delivery carries a TDeliveryToken:
//
//   * TDeliveryToken::Current() gives, inside an OnTunnelEvent call, the token
//     of the delivery in progress (null outside a delivery);
//   * the token is cancelled the moment the tunnel's events are switched off;
//   * a receiver registers a wake-up with OnCancel() and waits for "handled OR
//     cancelled"; a closure it queued for the other thread checks Cancelled()
//     before it shows anything, so nothing of a stopped tunnel appears later.
//
// Each switch-on of a tunnel's events makes a new token, so a closure queued
// under an earlier server never shows up after a restart.
//
// Thread safety: every member is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sorvik {

class TDeliveryToken {
 public:
  using WakeId = uint64_t;

  TDeliveryToken() = default;
  TDeliveryToken(const TDeliveryToken&) = delete;
  TDeliveryToken& operator=(const TDeliveryToken&) = delete;

  bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }

  // Cancels the token and calls every registered wake-up once (outside the
  // token's lock). Idempotent.
  void Cancel();

  // Registers `wake`, called once when the token is cancelled; called at once
  // (on this thread) when it already is. A wake-up must be short and must not
  // block: it is run by the thread that switches the events off.
  WakeId OnCancel(std::function<void()> wake);
  // Forgets a wake-up. After it returns, `wake` is not started any more (a call
  // already running on another thread may still be finishing).
  void Unsubscribe(WakeId id);

  // The token of the delivery that the calling thread is in, or null.
  static std::shared_ptr<TDeliveryToken> Current();

  // Sets Current() for the calling thread for the life of the scope (used by the
  // tunnel's reporting routine around the hook call; nests).
  class Scope {
   public:
    explicit Scope(std::shared_ptr<TDeliveryToken> token);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::shared_ptr<TDeliveryToken> previous_;
  };

 private:
  struct Waiter {
    WakeId id;
    std::function<void()> wake;
  };
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;               // guards waiters_ and next_id_
  std::vector<Waiter> waiters_;    // guarded by mutex_
  WakeId next_id_ = 1;             // guarded by mutex_
};

}  // namespace sorvik
