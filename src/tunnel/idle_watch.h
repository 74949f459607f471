// The idle timeout of a tunnel's connections: a connection whose byte counts
// (both ways) have not moved for the tunnel's IdleTimeout is said in the log
// and cancelled, which closes both its sides (its relay then ends it as any
// other: OnDisconnect, summary line). It works from the counts the relay keeps
// (TIdMappedPortContext::BytesToRemote/BytesToLocal), so it covers the relay
// loops and the workers' relay alike, and a connection whose set-up waits.
//
// Thread contract: Watch, Forget and the destructor run on the owner's (UI)
// thread; the sweeps run on the watch's own thread. mutex_ guards servers_
// and quit_; a sweep holds it while it reads a server's context list (under
// that server's context lock, taken after mutex_), never while it reports, so
// Forget never waits for an event delivery.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvik {

class TIdMappedPortTCP;

class TIdleWatch {
 public:
  // Called on the watch's thread, with no lock held, before the connection is
  // cancelled: the peer of its local side ("127.0.0.1:40112") and the limit.
  using TReport = std::function<void(const std::string& client, int idleSeconds)>;

  explicit TIdleWatch(TReport report);
  ~TIdleWatch();
  TIdleWatch(const TIdleWatch&) = delete;
  TIdleWatch& operator=(const TIdleWatch&) = delete;

  // Watches `server`'s connections with a limit of `idleSeconds` (> 0).
  void Watch(TIdMappedPortTCP& server, int idleSeconds);
  // Stops watching `server`; once it returns no sweep uses it any more.
  void Forget(TIdMappedPortTCP& server);

 private:
  using Clock = std::chrono::steady_clock;
  struct Seen {
    uint64_t Bytes = 0;
    Clock::time_point Since;
    bool Reported = false;
  };
  struct Entry {
    TIdMappedPortTCP* Server = nullptr;
    int IdleSeconds = 0;
    std::map<uint64_t, Seen> Connections;  // by connection id
  };
  void Run();
  void Sweep();

  const TReport report_;
  std::mutex mutex_;
  std::condition_variable wake_;  // quit_ set, or a server to watch
  std::vector<Entry> servers_;    // guarded by mutex_
  bool quit_ = false;             // guarded by mutex_
  std::thread thread_;            // started by the first Watch
};

}  // namespace sorvik
