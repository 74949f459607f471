#include "tunnel/idle_watch.h"

#include <algorithm>
#include <utility>

#include "net/mapped_port_tcp.h"
#include "net/thread_name.h"
#include "tunnel/connection_report.h"

namespace sorvik {

namespace {
// How often the counts are looked at: a connection is closed at most this
// much later than its limit.
constexpr auto kSweepEvery = std::chrono::milliseconds(250);
}  // namespace

TIdleWatch::TIdleWatch(TReport report) : report_(std::move(report)) {}

TIdleWatch::~TIdleWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TIdleWatch::Watch(TIdMappedPortTCP& server, int idleSeconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry entry;
    entry.Server = &server;
    entry.IdleSeconds = idleSeconds;
    servers_.push_back(std::move(entry));
  }
  wake_.notify_all();  // a watch that had nothing to watch sleeps until now
  if (!thread_.joinable()) thread_ = std::thread([this] {
    NameThisThread("idle watch");
    Run();
  });
}

void TIdleWatch::Forget(TIdMappedPortTCP& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  servers_.erase(std::remove_if(servers_.begin(), servers_.end(),
                                [&server](const Entry& e) { return e.Server == &server; }),
                 servers_.end());
}

void TIdleWatch::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    // With nothing to watch (every watched tunnel stopped) the thread sleeps
    // until a Watch or the end, instead of waking four times a second.
    wake_.wait(lock, [this] { return quit_ || !servers_.empty(); });
    if (quit_) break;
    if (wake_.wait_for(lock, kSweepEvery, [this] { return quit_; })) break;
    lock.unlock();
    try {
      Sweep();
    } catch (...) {
    }
    lock.lock();
  }
}

void TIdleWatch::Sweep() {
  struct Idle {
    TIdMappedPortTCP* Server;
    uint64_t Id;
    std::string Client;
    int IdleSeconds;
  };
  std::vector<Idle> idle;
  const Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : servers_) {
      TIdMappedPortTCP::LockedContexts locked = entry.Server->LockList();
      std::map<uint64_t, Seen> next;
      for (TIdMappedPortContext* ctx : locked.List()) {
        const uint64_t bytes = ctx->BytesToRemote() + ctx->BytesToLocal();
        auto it = entry.Connections.find(ctx->Id());
        Seen seen = it == entry.Connections.end() ? Seen{bytes, now, false} : it->second;
        if (seen.Bytes != bytes) seen = Seen{bytes, now, false};
        if (!seen.Reported && now - seen.Since >= std::chrono::seconds(entry.IdleSeconds)) {
          seen.Reported = true;
          const TIdSocketBinding local = ctx->Connection().BindingSnapshot();
          idle.push_back({entry.Server, ctx->Id(), EndpointText(local.PeerIP, local.PeerPort), entry.IdleSeconds});
        }
        next.emplace(ctx->Id(), seen);
      }
      entry.Connections = std::move(next);
    }
  }
  if (idle.empty()) return;
  // Said first, with no lock held (the delivery may wait for the UI thread),
  // then closed.
  for (const Idle& i : idle) report_(i.Client, i.IdleSeconds);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Idle& i : idle) {
    const bool watched = std::any_of(servers_.begin(), servers_.end(),
                                     [&i](const Entry& e) { return e.Server == i.Server; });
    if (!watched) continue;
    TIdMappedPortTCP::LockedContexts locked = i.Server->LockList();
    for (TIdMappedPortContext* ctx : locked.List()) {
      if (ctx->Id() == i.Id) ctx->Cancel();
    }
  }
}

}  // namespace sorvik
