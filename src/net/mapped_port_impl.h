// Private to the port-mapping server's sources (mapped_port_tcp.cpp,
// mapped_port_accept.cpp, mapped_port_worker.cpp, worker_relay.cpp): the
// server's insides (TIdMappedPortTCP::Impl) and the body of its worker threads
// (MappedPortWorker). Nothing outside those files includes it.
//
// Where things run and what guards them (each field below says it again):
// - the owner's thread (the UI thread) configures, activates, deactivates and
//   reads the context list; the listening sockets, epoll set, wake fd, queue
//   fd and spare descriptor are set by it only while no worker thread runs;
// - worker threads wait for and accept connections (mapped_port_accept.cpp),
//   set one connection up at a time (mapped_port_worker.cpp) and relay it
//   themselves when no relay loop takes it (worker_relay.cpp);
// - relay loop threads (net/relay_loop.h) relay the connections handed to
//   them and end them through RelayEnded / DataHooks.
// Locks: hooks_mutex guards the hooks; list_mutex the context list, the
// cancel flags and the ended-connection figures (and `loops` while it is
// released); workers_mutex the pool's counts, the quit flag and the accept
// queue; refusals_mutex the refusal counts; spare_mutex the spare descriptor.
// workers_mutex and list_mutex are never held together.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "net/io_handler.h"
#include "net/mapped_port_tcp.h"
#include "net/relay_loop.h"

namespace sorvik {

struct TIdMappedPortTCP::Impl final : TRelayLoopOwner {
  explicit Impl(TIdMappedPortTCP& s) : self(s) {}
  TIdMappedPortTCP& self;

  // The relay loops (owner's thread: made at activation, quit and released at
  // deactivation; null while inactive or when none could start). Workers
  // hand established connections to them.
  // Read by Cancel() under list_mutex on any thread, so released under it.
  std::unique_ptr<TRelayLoops> loops;
  // TRelayLoopOwner (loop threads).
  void DataHooks(uint64_t& version, TIdContextEvent& onExecute, TIdContextEvent& onOutboundData) override;
  void RelayEnded(TIdMappedPortContext* ctx) override;

  // ---- owner's thread only ----
  bool active = false;
  // The listening sockets. Set by the owner only while no worker thread runs;
  // the waiting worker threads accept on them.
  struct Listener {
    int fd = -1;
    uint16_t port = 0;
  };
  std::vector<Listener> listeners;
  // eventfd, readable once deactivation has begun: the waiting threads and
  // every relay poll it, so one write ends all their waits at once. The field
  // is set by the owner only while no worker thread runs (before they start,
  // after they have ended).
  int wake_fd = -1;
  // A spare descriptor, given up for a moment when the process has none left,
  // so that the pending connection can be accepted and dropped instead of
  // waking the waiting threads again and again. Swapped under spare_mutex and
  // DescriptorSwapLock() held exclusively (the relay's other descriptor
  // creations hold it shared, so they cannot take the freed slot); opened and
  // closed by the owner while no worker thread runs.
  int spare_fd = -1;

  // ---- hooks ----
  mutable std::mutex hooks_mutex;
  TIdContextEvent on_connect;                // guarded by hooks_mutex
  TIdContextEvent on_outbound_connect;       // guarded by hooks_mutex
  TIdContextEvent on_execute;                // guarded by hooks_mutex
  TIdContextEvent on_outbound_data;          // guarded by hooks_mutex
  TIdContextExceptionEvent on_exception;     // guarded by hooks_mutex
  TIdContextEvent on_disconnect;             // guarded by hooks_mutex
  // Bumped on every change of a data hook, so the relay re-reads them without
  // taking the lock for every chunk.
  std::atomic<uint64_t> data_hooks_version{0};

  template <class H>
  H Copy(const H& hook) const {
    std::lock_guard<std::mutex> lock(hooks_mutex);
    return hook;
  }

  // ---- context list ----
  std::mutex list_mutex;
  std::vector<TIdMappedPortContext*> contexts;  // guarded by list_mutex
  bool cancelling = false;                      // guarded by list_mutex: deactivation under way
  uint64_t delisted = 0;                        // guarded by list_mutex: contexts taken off the list so far
  uint64_t ended_to_remote = 0;                 // guarded by list_mutex: bytes of deregistered
  uint64_t ended_to_local = 0;                  //   connections since the activation
  std::deque<TEndedConnection> ended;           // guarded by list_mutex: the last kEndedKept of them

  // ---- worker threads (never held together with list_mutex) ----
  // Every worker thread waiting for a connection waits in epoll_wait() on
  // epoll_fd, where each listening socket is registered one-shot: the kernel
  // wakes one waiter per connection, which accepts it, re-arms the socket for
  // the next waiter and serves the connection itself. A connection thus reaches
  // its worker with a single thread wake-up. At least one thread always waits;
  // the one that takes a connection from the last waiter starts a new one
  // first. A worker serves one connection at a time, then waits again; a
  // waiter that has had nothing for kWorkerIdleMs ends unless it is the last.
  // A burst is taken in one go: every connection pending after the first goes
  // to a new thread of its own while the pool has room (SetupWorkers setting
  // up, plus the one waiting), else to `queued`, where the next free worker
  // takes it. Once set up, a plain connection goes to a relay loop and its
  // worker is free again at once; a worker that relays its connection itself
  // (TLS, data hooks) leaves the pool's count until it is done.
  std::mutex workers_mutex;
  std::condition_variable workers_cv;  // signalled when `workers` drops to 0
  // Worker threads started and not yet ended, busy or waiting; guarded by
  // workers_mutex. Raised before a thread is started, lowered by the thread as
  // its very last touch of the server.
  int workers = 0;
  // Threads waiting for a connection, counting a thread being started to
  // wait; guarded by workers_mutex.
  int waiting = 0;
  // Deactivation under way: no worker waits again; guarded by workers_mutex.
  bool workers_quit = false;
  // Workers relaying their own connection (TLS, data hooks): outside the
  // pool's bound while they do; guarded by workers_mutex.
  int relaying = 0;
  // Connections handed to the loops and not yet released; guarded by
  // workers_mutex (deactivation and Drained() wait for 0).
  int adopted = 0;
  // Accepted connections waiting for a free worker of the pool (the pool at
  // its bound, SetupWorkers); guarded by workers_mutex. Not listed yet.
  std::deque<TIdMappedPortContext*> queued;
  // eventfd in the waiters' epoll set (data: kQueueEvent), readable while a
  // connection was queued and another waiter idles: woken, a waiter that is
  // not the last one takes a queued connection. Set by the owner while no
  // worker runs.
  int queue_fd = -1;
  static constexpr uint32_t kQueueEvent = UINT32_MAX - 1;
  // Under workers_mutex: the pool may start another worker. The pool holds
  // SetupWorkers threads setting connections up and one more that waits for
  // the next connection meanwhile.
  int PoolBound() const { return std::max(1, self.SetupWorkers) + 1; }
  bool PoolHasRoom() const { return workers - relaying < PoolBound(); }
  // Under workers_mutex: a queued connection for a worker that is free, or null.
  TIdMappedPortContext* TakeQueued() {
    if (queued.empty()) return nullptr;
    TIdMappedPortContext* ctx = queued.front();
    queued.pop_front();
    return ctx;
  }
  // Under workers_mutex: `ctx` waits for a free worker; an idle waiter is told.
  void Queue(TIdMappedPortContext* ctx) {
    queued.push_back(ctx);
    if (waiting > 1) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t w = ::write(queue_fd, &one, sizeof one);
    }
  }
  // The epoll set of the waiting threads: the listening sockets (one-shot,
  // data: their index) and the wake fd (level-triggered, data: kWakeEvent), so
  // deactivation wakes every waiter. Set by the owner while no worker runs.
  int epoll_fd = -1;
  static constexpr uint32_t kWakeEvent = UINT32_MAX;
  // Guards the use of spare_fd by the threads that accept.
  std::mutex spare_mutex;
  // Waiting threads woken for a listening socket that have not yet settled
  // whether they serve a connection (raised before the accept, lowered after
  // `waiting` or `workers` tells it), so that Drained() misses none.
  std::atomic<int> accepting{0};

  // ---- connections closed at once at a limit ----
  enum Limit { kDescriptors, kThreads, kMemory, kLimits };
  std::mutex refusals_mutex;
  struct Refusal {
    int code = 0;        // the first error of the period
    uint64_t count = 0;  // connections closed since the last report
  };
  Refusal refusals[kLimits];                             // guarded by refusals_mutex
  std::chrono::steady_clock::time_point last_refusal_report;  // guarded by refusals_mutex
  std::atomic<bool> refusals_pending{false};             // a count waits for its report
  // Worker thread: `count` connections were closed at once because `kind`
  // ran out (`code`: the system's error); reported now if the last report is
  // a second old, else counted for the next.
  void Refused(Limit kind, int code, uint64_t count = 1);
  // Worker thread: reports the counts that wait, once a second has passed
  // since the last report. Calls OnException without any lock held.
  void ReportRefusals();
  // Worker thread: the line of the connections the access check refused
  // (self.Access), once a second at most; OnException without any lock held.
  void ReportAccessRefusals();

  // Owner's thread: SetActive(true) and SetActive(false).
  void Activate();
  void BindListener(const TIdListenBinding& binding);
  void CloseListeners();
  void Deactivate();

  // Worker thread: waits for a connection and returns it, ready to serve.
  // `counted`: the thread is already counted in `waiting` (a thread started to
  // wait). Null: the thread ends (`workers` already lowered).
  TIdMappedPortContext* Await(bool counted);
  // Worker thread, woken for listening socket `fd`: accepts what it has
  // pending. The last connection accepted is kept in `mine`, each earlier one
  // handed to a new thread. False when deactivation was seen.
  bool AcceptPending(int fd, TIdMappedPortContext*& mine);
  // A connection for an accepted socket; null (socket closed) when there is
  // no memory or descriptor for it.
  TIdMappedPortContext* NewContext(int fd);
  // Serves `ctx` on a new thread; drops it when no thread can be made.
  void Dispatch(TIdMappedPortContext* ctx);
  // Starts a detached worker thread (`workers` already raised): serving `ctx`,
  // or waiting for a connection when `ctx` is null. 0, or the error of the
  // failed start (EAGAIN at the thread limit, ENOMEM).
  int SpawnThread(TIdMappedPortContext* ctx);
  // What a new worker thread starts with.
  struct WorkerStart {
    Impl* server;
    TIdMappedPortContext* ctx;  // null: the thread starts waiting (counted in `waiting`)
  };
  // Worker thread, under workers_mutex: the thread ends. Lowering `workers` is
  // its last touch of the server: deactivation may free it right after.
  TIdMappedPortContext* EndThread();
  bool Backoff();  // false when the server is being stopped
  void CancelAll();
};

// Worker thread body (a friend of the context and the server). Everything here
// runs on the connection's worker thread, except Finish (and Deregister through
// it), which a relay loop's thread also runs for a connection handed to it.
struct MappedPortWorker {
  static void* Main(void* arg);
  // Sets `ctx` up and relays it, or hands it to a loop. true: the caller
  // releases it.
  static bool Run(TIdMappedPortContext& ctx);
  // Takes `ctx` off the context list, its byte counts into the totals.
  static void Deregister(TIdMappedPortContext& ctx);
  static void Report(TIdMappedPortContext& ctx, const std::exception_ptr& error);
  // A time-out (of a socket wait or a read) is what `error` reports.
  static bool TimedOut(const std::exception_ptr& error);
  // The limit of the process that `error` says was reached, with its error code.
  static std::optional<std::pair<TIdMappedPortTCP::Impl::Limit, int>> LimitMet(const std::exception_ptr& error);
  static void ForwardBuffered(TIdMappedPortContext& ctx);
  // How a relay ended: the remote side closed or failed (the local side then
  // gets a lingering close), the local side failed (the remote side gets one),
  // or it was stopped (cancelled, or an error: both sides are closed at once).
  // kSplice (copying relay only): a bulk transfer began on a connection the
  // zero-copy relay can take over; nothing is buffered at that point.
  // kRemoteStalled: the client has ended its stream or gone, and the remote
  // took no byte of what is still to be forwarded for the lingering bound
  // (both sides are closed at once).
  enum class Outcome { kRemoteEnded, kLocalGone, kRemoteStalled, kStopped, kSplice };
  static void Relay(TIdMappedPortContext& ctx);
  // How the client has ended, kept across a switch of relay: `eof`, it has
  // ended its sending direction (the remote's sending direction was shut down
  // with it); `failed`, it has reset (or its socket failed) while the remote
  // had not taken everything yet.
  struct ClientEnd {
    bool eof = false;
    bool failed = false;
  };
  // The zero-copy relay hands a client that has ended or failed over to the
  // copying relay, which bounds the wait for a remote that takes nothing.
  static bool RelaySplice(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote, ClientEnd& client,
                          Outcome& outcome);
  static Outcome RelayCopy(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote, ClientEnd& client,
                           bool mayHandOver);
  // Both sides are plain sockets (the zero-copy relay's condition, besides
  // the data hooks).
  static bool PlainSockets(TIdIOHandler& local, TIdIOHandler& remote);
  // After the relay: closes what is open, reports the end (OnDisconnect) and
  // takes the connection off the list (the thread that relayed it).
  static void Finish(TIdMappedPortContext& ctx);
  // A set-up connection goes to a relay loop: both sides plain sockets, no
  // data hook, nothing buffered. true: handed over (no longer this thread's).
  static bool HandOver(TIdMappedPortContext& ctx);
};

}  // namespace sorvik
