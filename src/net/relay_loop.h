// The relay loops of a port-mapping server: a few threads (one per core by
// default), each with an epoll set, that relay the established plain-socket
// connections of the server both ways until they end. A connection's set-up
// (connect, proxy hops) runs on a set-up worker; once both sides are
// established the worker hands the connection over (Adopt) and returns to its
// pool, so an open connection costs no thread: only a small record and its two
// sockets at rest. Bytes in flight are held per connection only while the other
// side does not take them (a buffer, or a splice pipe from the loop's pool).
//
// Per connection, a loop does what the worker's relay does, in the same order:
// the data hooks (OnExecute / OnOutboundData, when set while it relays), the
// byte counts, the half-close both ways, the reply tail, the bound on a remote
// that takes nothing once the client has ended or gone, the lingering close of
// the side whose counterpart has finished, then the end report (OnDisconnect,
// through TRelayLoopOwner::RelayEnded).
//
// Thread contract: the owner's thread (the server's UI thread) starts and
// quits the loops; Adopt() runs on set-up workers, Sweep() on any thread. All
// else runs on the loop threads, each of which alone owns the connections it
// was handed (their I/O handlers, Data(), their records) until it gives them
// back through RelayEnded. Each loop's `mutex` guards its incoming queue and
// its quit flag only; nothing is held while a hook runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/mapped_port_tcp.h"

namespace sorvik {

// What the loops need from the server that owns them (called on loop threads).
class TRelayLoopOwner {
 public:
  virtual ~TRelayLoopOwner() = default;
  // The data hooks as they are now, when the server's hook version differs
  // from `version` (which is then brought up to date); nothing otherwise.
  virtual void DataHooks(uint64_t& version, TIdContextEvent& onExecute, TIdContextEvent& onOutboundData) = 0;
  // The relay of `ctx` has ended, its sockets closed (or left to the
  // context's release): the end is reported (OnDisconnect) and the connection
  // released. The loop never touches `ctx` again.
  virtual void RelayEnded(TIdMappedPortContext* ctx) = 0;
};

struct TRelayLoopConfig {
  int stopFd = -1;           // readable once deactivation has begun
  int lingerMs = TIdMappedPortTCP::kDefaultLingerMs;
  bool zeroCopyRelay = false;  // splice from the first byte
  bool zeroCopyBulk = true;    // splice once a read fills a chunk
  int bulkReadSize = 256 * 1024;
};

// Splice pipes held by the process (every server, worker relays and loops
// alike), at most TIdMappedPortTCP::kMaxSplicePipes.
std::atomic<int>& SplicePipeCount();

class TRelayLoops {
 public:
  // `count` loop threads (0: one per core).
  TRelayLoops(TRelayLoopOwner& owner, const TRelayLoopConfig& config, int count);
  ~TRelayLoops();  // Quit()
  TRelayLoops(const TRelayLoops&) = delete;
  TRelayLoops& operator=(const TRelayLoops&) = delete;

  // Owner's thread: makes the loops' epoll sets and starts their threads.
  // 0, or the error of the first that failed (none is left running then).
  int Start();
  // Set-up worker: hands an established connection (both sides plain
  // sockets, no bytes buffered in either handler) to the loop with the fewest
  // connections. Its sockets join that loop's epoll set from here, so the
  // loop is not woken for the hand-over itself. false: no loop runs (or the
  // sockets could not join); the caller keeps the connection.
  bool Adopt(TIdMappedPortContext* ctx);
  // Any thread: each loop looks at its connections' cancel flags soon and ends
  // the cancelled ones (as a stop does).
  void Sweep();
  // Owner's thread, once the stop fd is readable and no worker can adopt any
  // more: the loops end every connection they hold (each through RelayEnded)
  // and their threads; returns when they have.
  void Quit();
  // Connections held by the loops right now (any thread; for tests and figures).
  size_t Held() const;
  size_t Threads() const { return loops_.size(); }

 private:
  struct Loop;
  std::vector<std::unique_ptr<Loop>> loops_;
};

}  // namespace sorvik
