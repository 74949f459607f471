// The port-mapping server: listens on its bindings, sets every accepted
// connection up on a worker thread of a bounded pool (connects it to
// MappedHost:MappedPort through its proxies), then relays bytes both ways until
// either side closes or fails. A plain-socket connection without data hooks is
// relayed by one of a few event loops (net/relay_loop.h) once set up, so an
// open connection holds no thread; a TLS connection, or one whose chunks a
// data hook sees, is relayed on its worker thread, which then leaves the pool
// for the connection's life. The threads waiting for a connection accept it
// themselves; a worker waits briefly (2 s) for the next one instead of ending
// at once, which spares a thread creation per connection under load. When
// every worker of the pool is busy, accepted connections queue for the next
// free one (the listen queue is emptied all the same).
//
// The implementation, by role: mapped_port_tcp.cpp (this object, its hooks and
// context list, activation and deactivation), mapped_port_accept.cpp (the
// waiting and accepting threads, the accept queue, the refusal reports),
// mapped_port_worker.cpp (a connection's set-up on its worker),
// worker_relay.cpp (the relay on a worker thread); mapped_port_impl.h holds
// what they share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/access_gate.h"
#include "net/component.h"
#include "net/io_handler.h"
#include "net/tcp_client.h"

namespace sorvik {

class TIdMappedPortTCP;

// One accepted connection. Made on the worker thread that accepted it, then
// owned by the worker thread that sets it up (the same one, or another for
// all but the last of a burst), and then by the thread that relays it (that
// worker, or a relay loop), which deletes it; listed in the server's context
// list from when its worker takes it up until both sides are closed.
class TIdMappedPortContext {
 public:
  // The local side (accepted socket). Never null.
  TIdIOHandlerStack& Connection() { return *local_; }
  // The outbound client; null until the worker has created it.
  TIdTCPClient* OutboundClient() { return outbound_.get(); }
  TIdMappedPortTCP& Server() { return server_; }
  // The chunk being moved, for OnExecute / OnOutboundData: the hook may read
  // and change it; what it holds afterwards is written to the other side.
  std::vector<uint8_t>& Data() { return data_; }

  // Traffic of this connection: bytes written to the outbound side (from the
  // local client) and to the local side (from the remote side), counted by the
  // worker with one relaxed atomic add per chunk. Any thread may read them; a
  // reader on another thread sees a value that is at most one chunk behind.
  uint64_t BytesToRemote() const { return to_remote_.load(std::memory_order_relaxed); }
  uint64_t BytesToLocal() const { return to_local_.load(std::memory_order_relaxed); }
  // When the connection was accepted (steady clock) and its number, unique
  // within the process (the connections window tells rows apart by it).
  std::chrono::steady_clock::time_point Started() const { return started_; }
  uint64_t Id() const { return id_; }

  // Thread-safe (call under the context lock): cancels every wait of both sides,
  // the outbound connect and proxy/TLS handshakes included; the worker then
  // closes both sides and ends without a report.
  void Cancel();

  TIdMappedPortContext(TIdMappedPortTCP& server, int acceptedFd);
  ~TIdMappedPortContext();

 private:
  friend class TIdMappedPortTCP;
  friend struct MappedPortWorker;
  friend struct TRelayLoopAccess;
  // Cancel() by deactivation, after the server's stop fd was made readable.
  void CancelForStop();
  TIdMappedPortTCP& server_;
  // Made in the constructor (accepting thread) and kept until the destructor
  // (worker thread); the handler itself belongs to the worker, other threads
  // use only its Cancel() and BindingSnapshot().
  std::unique_ptr<TIdIOHandlerStack> local_;
  // Created and reset on the worker thread, but only under the context lock,
  // so that the owner may read OutboundClient() while holding that lock.
  std::unique_ptr<TIdTCPClient> outbound_;
  std::vector<uint8_t> data_;   // the thread that serves the connection now
  bool cancelled_ = false;      // guarded by the server's context lock
  bool counted_ = false;        // set in the constructor: an accepted socket, in Access's open count
  // Written by the thread that relays (worker or loop) only (relaxed adds), read by any thread.
  std::atomic<uint64_t> to_remote_{0};
  std::atomic<uint64_t> to_local_{0};
  const std::chrono::steady_clock::time_point started_;  // set in the constructor
  const uint64_t id_;                                    // set in the constructor
  void CountToRemote(size_t n) { to_remote_.fetch_add(n, std::memory_order_relaxed); }
  void CountToLocal(size_t n) { to_local_.fetch_add(n, std::memory_order_relaxed); }
};

using TIdContextEvent = std::function<void(TIdMappedPortContext& context)>;
using TIdContextExceptionEvent = std::function<void(TIdMappedPortContext& context, const std::exception& error)>;

struct TIdListenBinding {
  std::string IP;   // empty: all IPv4 addresses
  uint16_t Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
};

// Thread contract: the owner's thread (the UI thread) configures, activates,
// deactivates and reads the context list; hooks run on worker threads and
// relay loop threads: OnConnect and OnOutboundConnect on the connection's
// set-up worker, OnExecute/OnOutboundData/OnDisconnect on the thread that
// relays it (its worker, or its loop once handed over; a connection is handed
// to a loop only while no data hook is set). Hooks of one connection never run
// at the same time. Deactivation ends the waiting workers and the loops as
// well, so no thread of the server outlives it. The
// setters of the hooks are safe while workers run (a worker copies a hook under
// the hooks lock before calling it).
class TIdMappedPortTCP {
 public:
  TIdMappedPortTCP();
  ~TIdMappedPortTCP();  // deactivates

  // Configuration: written on the owner's thread while the server is inactive;
  // read without a lock by the accepting threads (MaxConnections) and the
  // workers (MappedHost, MappedPort) while it is active, when nobody writes them.
  std::vector<TIdListenBinding> Bindings;
  uint16_t DefaultPort = 0;
  std::string MappedHost;
  uint16_t MappedPort = 0;
  // Listen backlog. The default asks for the system's maximum (the kernel caps
  // it at net.core.somaxconn), so that a burst of connects waits in the queue
  // instead of overflowing it and waiting for SYN retransmissions.
  int ListenQueue = std::numeric_limits<int>::max();
  // Open connections at most (0: no cap); a cap set in Access wins. Set
  // before activation.
  int MaxConnections = 0;
  // Who may connect: each accepted connection is judged right after its
  // accept (net/access_gate.h), and a refused one is reset at once, before
  // any hook sees it; its rules may be swapped while the server is active
  // (any thread), which changes nothing for the open connections. Refusals
  // are reported through OnException as one line per burst.
  TAccessGate Access;
  // Relay plain-socket connections without data hooks through a pipe with
  // splice() instead of copying through a buffer, from their first byte on.
  // Set before activation.
  bool ZeroCopyRelay = false;
  // Hand a bulk transfer over to the zero-copy relay: once a read of a
  // plain-socket connection without data hooks fills 32768 bytes, the rest of
  // the connection moves by splice() through a pipe of up to 1 MiB (less relay
  // CPU per byte; short exchanges never make a pipe). A pipe costs two
  // descriptors and pipe buffer quota, so the process holds at most
  // kMaxSplicePipes of them at once; a transfer that finds none left (or the
  // system refuses the pipe, or grants less than 64 KiB) goes on copying,
  // which needs no descriptor. Set before activation.
  bool ZeroCopyBulk = true;
  static constexpr int kMaxSplicePipes = 128;
  // Worker threads that set connections up at most at a time (besides the
  // one that waits for connections meanwhile); a burst beyond it is accepted
  // and queues for the next free worker.
  // A worker that goes on relaying its connection itself (TLS, data hooks)
  // leaves the pool's count while it does. Set before activation.
  static constexpr int kDefaultSetupWorkers = 16;
  int SetupWorkers = kDefaultSetupWorkers;
  // Relay loop threads (0: one per core). With -1 no loop runs and every
  // connection is relayed on its worker thread. Set before activation.
  int RelayLoops = 0;
  // Largest read of the copying relay while no data hook observes the chunks
  // (with a data hook, reads take at most 32768 bytes). Taken by a connection
  // once one of its reads fills 32768 bytes, unless the connection is handed
  // over to the zero-copy relay then (ZeroCopyBulk). Set before activation.
  int BulkReadSize = 256 * 1024;
  // The lingering bound (ms). A side whose counterpart has finished gets a
  // lingering close: what its peer still sends is discarded until the peer
  // closes, stays quiet for 2 s, or this much time has passed. And once the
  // local client has ended its stream or gone, a remote that takes no byte of
  // what is still to be forwarded to it for this long ends the connection
  // (both sides closed at once, OnDisconnect as usual). A stop ends every
  // lingering close at once. Set before activation; tests shorten it.
  static constexpr int kDefaultLingerMs = 30000;
  int LingerMs = kDefaultLingerMs;
  // Test seam: when set, asked before every worker thread is started; false
  // fails the start as a process at its thread limit would (EAGAIN). Set
  // before activation; called on the accepting worker threads.
  std::function<bool()> ThreadStartAllowed;

  // Connections closed at once because the process ran out of descriptors,
  // threads or memory are reported through OnException, at most once per
  // second per kind, with the count since the last report:
  // "<the error's message> <N> connection(s) closed at once." (for example
  // "Socket Error # 24\r\nToo many open files. 3 connections closed at once.").
  // A count left when the refusals stop is reported within about two seconds.

  bool Active() const;
  // The port the listening socket of binding `index` is bound to (useful with port 0);
  // 0 while inactive.
  uint16_t BoundPort(size_t index = 0) const;
  // true: binds and listens, raising EIdCouldNotBindSocket on a bind failure.
  // false: stops accepting, cancels every connection, waits for the workers
  // (bounded: every wait of a worker is cancellable), closes the listening sockets.
  void SetActive(bool value);

  void SetOnConnect(TIdContextEvent hook);
  void SetOnOutboundConnect(TIdContextEvent hook);
  void SetOnExecute(TIdContextEvent hook);
  void SetOnOutboundData(TIdContextEvent hook);
  void SetOnException(TIdContextExceptionEvent hook);
  // Called on the worker when a connection whose outbound leg was set up ends
  // (after the relay, with both byte counts final), before it leaves the
  // context list. Not called for a connection whose set-up failed.
  void SetOnDisconnect(TIdContextEvent hook);
  // Clears OnOutboundConnect, OnExecute, OnOutboundData, OnException and OnDisconnect (not
  // OnConnect, so a connection accepted later still gets its set-up).
  void ClearReportingHooks();
  // Owner's thread: under the context lock, cancels both sides of every open
  // connection (outbound first). The listening sockets stay open.
  void CancelAllConnections();
  // Owner's thread, while active: stops accepting for good and frees the
  // listening ports at once (another server may bind them), while the open
  // connections go on to their ordinary ends. SetActive(false) still cancels
  // whatever is left.
  void StopListening();
  // Owner's thread, after StopListening: true once no connection is open or
  // being accepted any more (deactivation then cancels nothing).
  bool Drained();

  // A connection that has left the context list, with its final figures.
  struct TEndedConnection {
    uint64_t Id = 0;                                  // the context's Id()
    std::chrono::steady_clock::duration Lasted{};     // from its acceptance to its end
    uint64_t BytesToRemote = 0;
    uint64_t BytesToLocal = 0;
  };
  // How many of the connections that ended last are kept (oldest dropped first).
  static constexpr size_t kEndedKept = 1024;

  // The context list under its lock.
  class LockedContexts {
   public:
    explicit LockedContexts(TIdMappedPortTCP& s);
    const std::vector<TIdMappedPortContext*>& List() const;
    // Bytes of the connections that have left the list since the activation,
    // each way (their last counts); with the listed ones' counts, the
    // server's traffic without a gap or a double count.
    uint64_t EndedBytesToRemote() const;
    uint64_t EndedBytesToLocal() const;
    // The last kEndedKept connections that left the list since the
    // activation, the most recent last.
    const std::deque<TEndedConnection>& Ended() const;
   private:
    std::unique_lock<std::mutex> lock_;
    TIdMappedPortTCP& server_;
  };
  LockedContexts LockList() { return LockedContexts(*this); }
  int ConnectionCount();
  // Connections relayed by the loops right now (any thread).
  int LoopConnectionCount();
  // Worker threads waiting for their next connection right now, besides the
  // one that always waits while the server is active (any thread).
  int IdleWorkerCount();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class LockedContexts;
  friend class TIdMappedPortContext;
  friend struct MappedPortWorker;
};

}  // namespace sorvik
