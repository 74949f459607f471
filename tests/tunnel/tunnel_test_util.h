// Helpers of the tunnel and application tests: an event recorder and a
// receiver that blocks like a busy UI thread.
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

// Matches "hh:nn:ss" + rest exactly; `rest` is taken literally.
bool StampedLine(const std::string& line, const std::string& rest);

}  // namespace sorvik::test
