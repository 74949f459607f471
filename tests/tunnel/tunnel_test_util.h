// Helpers of the tunnel and application tests: an event recorder, a receiver
// that blocks like a busy UI thread, and a listener whose connects never finish.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tunnel/kestrune_item.h"

namespace sorvik::test {

struct RecordedEvent {
  int32_t index;
  int32_t code;
  std::string text;
};

// Records every event (any thread). Optionally blocks the reporting worker on a
// text that contains `blockOn` until Release() or until the tunnel's events are
// switched off (the delivery token is cancelled).
class EventRecorder {
 public:
  TTunnelEvent Hook();
  std::vector<RecordedEvent> Events() const;
  size_t Count() const;
  // Events whose code is `code`.
  std::vector<RecordedEvent> WithCode(int32_t code) const;
  // Waits (bounded) until at least n events were recorded.
  bool WaitCount(size_t n, int timeoutMs = 5000) const;

  void BlockOn(std::string fragment);
  // Waits (bounded) until n deliveries are blocked right now.
  bool WaitBlocked(int n, int timeoutMs = 5000) const;
  void Release();
  int Blocked() const;

 private:
  mutable std::mutex mutex_;                // guards everything below
  mutable std::condition_variable cv_;      // events_/blocked_/released_ changed
  std::vector<RecordedEvent> events_;
  std::string block_on_;
  bool released_ = false;
  int blocked_ = 0;
};

// A loopback listener (backlog 0) whose queue is filled, so that a further
// connect to it stays in progress. Port() is 0 if this could not be arranged.
class UnansweredListener {
 public:
  UnansweredListener();
  ~UnansweredListener();
  UnansweredListener(const UnansweredListener&) = delete;
  UnansweredListener& operator=(const UnansweredListener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// Matches "hh:nn:ss" + rest exactly; `rest` is taken literally.
bool StampedLine(const std::string& line, const std::string& rest);

}  // namespace sorvik::test
