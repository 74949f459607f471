#include "tunnel_test_util.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>

#include "support/net_fixtures.h"
#include "tunnel/event_delivery.h"

namespace sorvik::test {

TTunnelEvent EventRecorder::Hook() {
  return [this](int32_t index, int32_t code, const std::string& text) {
    std::shared_ptr<TDeliveryToken> token = TDeliveryToken::Current();
    std::unique_lock<std::mutex> lock(mutex_);
    events_.push_back({index, code, text});
    cv_.notify_all();
    if (block_on_.empty() || text.find(block_on_) == std::string::npos || released_) return;
    // Blocks like a UI thread that is busy elsewhere: only a release or the
    // token's cancellation (events switched off) ends the wait.
    ++blocked_;
    cv_.notify_all();
    TDeliveryToken::WakeId id = 0;
    if (token) {
      lock.unlock();
      id = token->OnCancel([this] {
        std::lock_guard<std::mutex> l(mutex_);
        cv_.notify_all();
      });
      lock.lock();
    }
    // Bounded at 20 s so that a broken switch fails the test instead of hanging it.
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return released_ || (token && token->Cancelled()); });
    --blocked_;
    lock.unlock();
    if (token) token->Unsubscribe(id);
  };
}

std::vector<RecordedEvent> EventRecorder::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

size_t EventRecorder::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

std::vector<RecordedEvent> EventRecorder::WithCode(int32_t code) const {
  std::vector<RecordedEvent> out;
  for (auto& e : Events())
    if (e.code == code) out.push_back(e);
  return out;
}

bool EventRecorder::WaitCount(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= n; });
}

void EventRecorder::BlockOn(std::string fragment) {
  std::lock_guard<std::mutex> lock(mutex_);
  block_on_ = std::move(fragment);
}

bool EventRecorder::WaitBlocked(int n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return blocked_ >= n; });
}

void EventRecorder::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  cv_.notify_all();
}

int EventRecorder::Blocked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocked_;
}

bool StampedLine(const std::string& line, const std::string& rest) {
  if (line.size() != 8 + rest.size()) return false;
  for (int i : {0, 1, 3, 4, 6, 7})
    if (line[i] < '0' || line[i] > '9') return false;
  if (line[2] != ':' || line[5] != ':') return false;
  return line.compare(8, std::string::npos, rest) == 0;
}

}  // namespace sorvik::test
