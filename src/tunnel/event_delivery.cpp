#include "tunnel/event_delivery.h"

#include <utility>

namespace sorvik {

namespace {
// The delivery the calling thread is in; set by TDeliveryToken::Scope.
thread_local std::shared_ptr<TDeliveryToken> t_current;
}  // namespace

void TDeliveryToken::Cancel() {
  std::vector<Waiter> wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    wake.swap(waiters_);
  }
  for (auto& w : wake) {
    try {
      w.wake();
    } catch (...) {
      // A wake-up only signals a waiter; a failure there must not stop the others.
    }
  }
}

TDeliveryToken::WakeId TDeliveryToken::OnCancel(std::function<void()> wake) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cancelled_.load(std::memory_order_acquire)) {
      WakeId id = next_id_++;
      waiters_.push_back({id, std::move(wake)});
      return id;
    }
  }
  wake();
  return 0;
}

void TDeliveryToken::Unsubscribe(WakeId id) {
  if (id == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
    if (it->id == id) {
      waiters_.erase(it);
      return;
    }
  }
}

std::shared_ptr<TDeliveryToken> TDeliveryToken::Current() { return t_current; }

TDeliveryToken::Scope::Scope(std::shared_ptr<TDeliveryToken> token) : previous_(std::move(t_current)) {
  t_current = std::move(token);
}

TDeliveryToken::Scope::~Scope() { t_current = std::move(previous_); }

}  // namespace sorvik
