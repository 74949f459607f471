// The tunnel's event switch (internal to the tunnel runtime).
#pragma once

#include <memory>
#include <mutex>

#include "tunnel/event_delivery.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

// On: holds the token of the current "events on" period. Off: holds none.
// Switching off cancels that token, which wakes every receiver that waits on
// behalf of a delivery in progress.
// Thread safety: every member is safe from any thread.
struct TKestruneItem::EventGate {
  // Switches delivery on with a fresh token (UI thread).
  void Open() {
    std::shared_ptr<TDeliveryToken> old;
    {
      std::lock_guard<std::mutex> lock(mutex);
      old = std::move(token);
      token = std::make_shared<TDeliveryToken>();
    }
    if (old) old->Cancel();
  }
  // Switches delivery off; deliveries in progress are told at once (UI thread).
  void Close() {
    std::shared_ptr<TDeliveryToken> old;
    {
      std::lock_guard<std::mutex> lock(mutex);
      old = std::move(token);
    }
    if (old) old->Cancel();
  }
  // The token of the current "on" period, or null while off (any thread).
  std::shared_ptr<TDeliveryToken> Current() {
    std::lock_guard<std::mutex> lock(mutex);
    return token;
  }

  std::mutex mutex;                       // guards token
  std::shared_ptr<TDeliveryToken> token;  // guarded by mutex; null: delivery off
};

}  // namespace sorvik
