#include "net/mapped_port_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <new>
#include <optional>
#include <typeinfo>
#include <utility>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/relay_loop.h"
#include "net/socket_util.h"
#include "net/thread_wake.h"

namespace sorvik {

namespace {

// Largest chunk moved per read while a data hook sees the chunks.
constexpr int kChunkSize = TIdIOHandler::kRecvBufferSize;
// The first reads of a connection's copying relay, into a buffer on the stack.
constexpr int kFirstReadSize = 2048;
// The pipe of the zero-copy relay, and its largest move (the system may grant
// a smaller pipe; the moves are then as large as the pipe).
constexpr int kSplicePipeSize = 1024 * 1024;
// Deactivation re-cancels stragglers at this interval while it waits.
constexpr int kDeactivatePollMs = 500;
// Pause after running out of descriptors, memory or threads, so that the
// accepting threads do not spin while the process is at its limits.
constexpr int kResourceBackoffMs = 50;
// A worker whose connection has ended waits this long for the next one before
// its thread ends (unless it is the last one waiting); at most kMaxWaiting wait
// at a time. Creating a thread is the largest single cost of a new connection.
constexpr int kWorkerIdleMs = 2000;
constexpr int kMaxWaiting = 129;
// Lingering close of a side whose counterpart has finished: what its peer
// still sends is discarded until the peer closes, stays silent this long, or
// the whole close has taken the server's LingerMs; the bytes already
// forwarded to it are delivered meanwhile.
constexpr int kLingerQuietMs = 2000;
// How often the relay looks at what a remote has acknowledged while only its
// socket holds bytes for it and the client has ended.
constexpr int kTakeLookMs = 250;
// Deactivation cancels this many connections per hold of the context lock.
constexpr int kCancelChunk = 32;
// The accepting thread looks at the wake fd after this many accepts in one go.
constexpr int kAcceptBatch = 64;
// Connections closed at once at a limit are reported at most this often.
constexpr auto kRefusalReportInterval = std::chrono::seconds(1);
// A pipe smaller than this moves a bulk transfer in too many small steps:
// the copying relay does better.
constexpr int kMinSplicePipe = 64 * 1024;

// Worker stacks: small, the relay needs little. Sanitizer builds get more room
// for their redzones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kWorkerStackSize = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kWorkerStackSize = 1024 * 1024;
#else
constexpr size_t kWorkerStackSize = 256 * 1024;
#endif
#else
constexpr size_t kWorkerStackSize = 256 * 1024;
#endif

// The bind failure: the traditional text for an address in use, otherwise the
// system's reason in the same words.
EIdCouldNotBindSocket BindFailure(int code) {
  if (code == EADDRINUSE) return EIdCouldNotBindSocket(kMsgCouldNotBind);
  return EIdCouldNotBindSocket(std::string("Could not bind socket. ") + SystemErrorText(code));
}

}  // namespace

// ---------------------------------------------------------------------------

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
// runs on the connection's worker thread.
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

// ---------------------------------------------------------------------------
// Context

namespace {
std::atomic<uint64_t> g_next_context_id{1};
}  // namespace

TIdMappedPortContext::TIdMappedPortContext(TIdMappedPortTCP& server, int acceptedFd)
    : server_(server),
      local_(std::make_unique<TIdIOHandlerStack>()),
      started_(std::chrono::steady_clock::now()),
      id_(g_next_context_id.fetch_add(1, std::memory_order_relaxed)) {
  if (acceptedFd >= 0) local_->AttachSocket(acceptedFd);
}

TIdMappedPortContext::~TIdMappedPortContext() {
  outbound_.reset();
  local_.reset();
}

// Any thread, under the server's context lock.
void TIdMappedPortContext::Cancel() {
  cancelled_ = true;
  if (outbound_) outbound_->Cancel();
  local_->Cancel();
  // A connection relayed by a loop has no thread to wake: the loops look.
  if (server_.impl_->loops) server_.impl_->loops->Sweep();
}

// Owner's thread, under the server's context lock, once the wake fd is
// readable: a worker waiting in its relay (which polls the wake fd) is not
// signalled as well, which spares a deactivation thousands of signals.
void TIdMappedPortContext::CancelForStop() {
  cancelled_ = true;
  if (outbound_) outbound_->CancelForStop();
  local_->CancelForStop();
}

// ---------------------------------------------------------------------------
// Server: configuration, hooks, list

TIdMappedPortTCP::TIdMappedPortTCP() : impl_(std::make_unique<Impl>(*this)) {}

TIdMappedPortTCP::~TIdMappedPortTCP() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

bool TIdMappedPortTCP::Active() const { return impl_->active; }

uint16_t TIdMappedPortTCP::BoundPort(size_t index) const {
  return index < impl_->listeners.size() ? impl_->listeners[index].port : 0;
}

void TIdMappedPortTCP::SetOnConnect(TIdContextEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_connect = std::move(hook);
}
void TIdMappedPortTCP::SetOnOutboundConnect(TIdContextEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_outbound_connect = std::move(hook);
}
void TIdMappedPortTCP::SetOnExecute(TIdContextEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_execute = std::move(hook);
  impl_->data_hooks_version.fetch_add(1, std::memory_order_release);
}
void TIdMappedPortTCP::SetOnOutboundData(TIdContextEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_outbound_data = std::move(hook);
  impl_->data_hooks_version.fetch_add(1, std::memory_order_release);
}
void TIdMappedPortTCP::SetOnException(TIdContextExceptionEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_exception = std::move(hook);
}
void TIdMappedPortTCP::SetOnDisconnect(TIdContextEvent hook) {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_disconnect = std::move(hook);
}
void TIdMappedPortTCP::ClearReportingHooks() {
  std::lock_guard<std::mutex> lock(impl_->hooks_mutex);
  impl_->on_disconnect = nullptr;
  impl_->on_outbound_connect = nullptr;
  impl_->on_execute = nullptr;
  impl_->on_outbound_data = nullptr;
  impl_->on_exception = nullptr;
  impl_->data_hooks_version.fetch_add(1, std::memory_order_release);
}

TIdMappedPortTCP::LockedContexts::LockedContexts(TIdMappedPortTCP& s) : lock_(s.impl_->list_mutex), server_(s) {}

const std::vector<TIdMappedPortContext*>& TIdMappedPortTCP::LockedContexts::List() const {
  return server_.impl_->contexts;
}

uint64_t TIdMappedPortTCP::LockedContexts::EndedBytesToRemote() const { return server_.impl_->ended_to_remote; }
uint64_t TIdMappedPortTCP::LockedContexts::EndedBytesToLocal() const { return server_.impl_->ended_to_local; }
const std::deque<TIdMappedPortTCP::TEndedConnection>& TIdMappedPortTCP::LockedContexts::Ended() const {
  return server_.impl_->ended;
}

int TIdMappedPortTCP::LoopConnectionCount() {
  std::lock_guard<std::mutex> lock(impl_->workers_mutex);
  return impl_->adopted;
}

int TIdMappedPortTCP::ConnectionCount() {
  std::lock_guard<std::mutex> lock(impl_->list_mutex);
  return static_cast<int>(impl_->contexts.size());
}

int TIdMappedPortTCP::IdleWorkerCount() {
  std::lock_guard<std::mutex> lock(impl_->workers_mutex);
  // The one that always waits plays the part of a listener: not an idle worker.
  return std::max(0, impl_->waiting - 1);
}

void TIdMappedPortTCP::Impl::CancelAll() {
  {
    std::lock_guard<std::mutex> lock(list_mutex);
    for (TIdMappedPortContext* ctx : contexts) ctx->Cancel();
  }
  // The loops' connections have no thread to wake: each loop looks at them.
  if (loops) loops->Sweep();
}

void TIdMappedPortTCP::Impl::DataHooks(uint64_t& version, TIdContextEvent& onExecute,
                                       TIdContextEvent& onOutboundData) {
  const uint64_t v = data_hooks_version.load(std::memory_order_acquire);
  if (v == version) return;
  std::lock_guard<std::mutex> lock(hooks_mutex);
  onExecute = on_execute;
  onOutboundData = on_outbound_data;
  version = v;
}

void TIdMappedPortTCP::Impl::RelayEnded(TIdMappedPortContext* ctx) {
  MappedPortWorker::Finish(*ctx);
  delete ctx;
  std::lock_guard<std::mutex> lock(workers_mutex);
  if (--adopted == 0 && workers == 0) workers_cv.notify_all();
}

void TIdMappedPortTCP::CancelAllConnections() { impl_->CancelAll(); }

// Owner's thread. Taken out of the waiters' epoll set first, so that no waiter
// is woken for them again; then shut down, which frees their ports (the
// sockets stay open until deactivation, so that a waiter still holding one's
// index never touches another descriptor) and resets what waits unaccepted.
// A waiter woken just before finds nothing more to accept.
void TIdMappedPortTCP::StopListening() {
  if (!impl_->active) return;
  for (auto& l : impl_->listeners) {
    ::epoll_ctl(impl_->epoll_fd, EPOLL_CTL_DEL, l.fd, nullptr);
    ::shutdown(l.fd, SHUT_RD);
  }
}

bool TIdMappedPortTCP::Drained() {
  std::lock_guard<std::mutex> lock(impl_->workers_mutex);
  return impl_->accepting.load() == 0 && impl_->workers == impl_->waiting && impl_->queued.empty() &&
         impl_->adopted == 0;
}

// ---------------------------------------------------------------------------
// Activation and deactivation (owner's thread)

void TIdMappedPortTCP::SetActive(bool value) {
  if (value == impl_->active) return;
  if (value) {
    impl_->Activate();
  } else {
    impl_->Deactivate();
  }
}

// Owner's thread: every binding is bound before any listens, so a binding that
// fails leaves no port of the others accepting connections; then the first
// worker thread starts waiting for connections.
void TIdMappedPortTCP::Impl::Activate() {
  IgnoreSigpipe();
  wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) RaiseSocketError(errno);
  try {
    for (const TIdListenBinding& b : self.Bindings) BindListener(b);
    for (auto& l : listeners) {
      if (::listen(l.fd, self.ListenQueue) != 0) {
        if (errno == EADDRINUSE) throw BindFailure(errno);
        throw EIdSocketError(errno, SocketErrorMessage(errno));
      }
    }
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) RaiseSocketError(errno);
    for (size_t i = 0; i < listeners.size(); ++i) {
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLONESHOT;
      ev.data.u32 = static_cast<uint32_t>(i);
      if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listeners[i].fd, &ev) != 0) RaiseSocketError(errno);
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u32 = kWakeEvent;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wake) != 0) RaiseSocketError(errno);
    queue_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (queue_fd < 0) RaiseSocketError(errno);
    epoll_event queue{};
    queue.events = EPOLLIN;
    queue.data.u32 = kQueueEvent;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, queue_fd, &queue) != 0) RaiseSocketError(errno);
  } catch (...) {
    CloseListeners();
    throw;
  }
  spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // The relay loops; without them (-1, or none could start) every connection
  // is relayed on its worker thread.
  if (self.RelayLoops >= 0) {
    TRelayLoopConfig config;
    config.stopFd = wake_fd;
    config.lingerMs = self.LingerMs;
    config.zeroCopyRelay = self.ZeroCopyRelay;
    config.zeroCopyBulk = self.ZeroCopyBulk;
    config.bulkReadSize = self.BulkReadSize;
    try {
      loops = std::make_unique<TRelayLoops>(*this, config, self.RelayLoops);
      if (loops->Start() != 0) loops.reset();
    } catch (...) {
      loops.reset();
    }
  }
  {
    std::lock_guard<std::mutex> lock(list_mutex);
    cancelling = false;
    ended_to_remote = ended_to_local = 0;
    ended.clear();
  }
  active = true;
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    ++workers;
    ++waiting;
  }
  if (const int err = SpawnThread(nullptr)) {
    {
      std::lock_guard<std::mutex> lock(workers_mutex);
      --workers;
      --waiting;
    }
    Deactivate();
    throw EIdSocketError(err, SocketErrorMessage(err));
  }
}

// Owner's thread, during activation: makes the socket of one binding and binds
// it (no listen yet). The socket joins `listeners` as soon as it exists, so
// that CloseListeners() releases it whatever fails afterwards.
void TIdMappedPortTCP::Impl::BindListener(const TIdListenBinding& b) {
  const bool v6 = b.IPVersion == Id_IPv6;
  sockaddr_storage ss{};
  socklen_t len;
  const uint16_t port = b.Port != 0 ? b.Port : self.DefaultPort;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = in6addr_any;
    if (!b.IP.empty() && ::inet_pton(AF_INET6, b.IP.c_str(), &a->sin6_addr) != 1) throw BindFailure(EINVAL);
    len = sizeof(sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_ANY);  // an empty address: all IPv4 addresses
    if (!b.IP.empty() && ::inet_pton(AF_INET, b.IP.c_str(), &a->sin_addr) != 1) throw BindFailure(EINVAL);
    len = sizeof(sockaddr_in);
  }
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw EIdSocketError(errno, SocketErrorMessage(errno));
  listeners.push_back({fd, port});
  int one = 1;
  // Linux's SO_REUSEADDR still refuses a second listener on the same port;
  // what it allows is binding while earlier connections of this port sit in
  // TIME_WAIT, which a restart of the tunnel needs.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (v6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) throw BindFailure(errno);
  // Nagle's algorithm stays on (the default).
  sockaddr_storage bound{};
  socklen_t blen = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &blen) == 0) listeners.back().port = SockaddrPort(bound);
}

// Owner's thread, when activation fails before any worker thread runs, and at
// the end of deactivation: closes the listening sockets, the epoll set and the
// wake fd.
void TIdMappedPortTCP::Impl::CloseListeners() {
  for (auto& l : listeners) ::close(l.fd);
  listeners.clear();
  if (epoll_fd >= 0) ::close(epoll_fd);
  epoll_fd = -1;
  if (queue_fd >= 0) ::close(queue_fd);
  queue_fd = -1;
  ::close(wake_fd);
  wake_fd = -1;
}

// Owner's thread. The wake fd stops the waiting threads; a connection accepted
// meanwhile cancels itself once it registers. Then the open connections are
// cancelled and the workers waited for; the listening sockets close last, when
// no thread uses them any more.
void TIdMappedPortTCP::Impl::Deactivate() {
  // The wake fd ends every waiting thread's wait, and every relay's, at once.
  uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    workers_quit = true;
  }
  // Both sides of every connection are cancelled; a worker that registers from
  // now on cancels itself. The relays have already been woken by the wake fd;
  // the lock is given up after every few contexts, so that the workers ending
  // meanwhile can deregister instead of queueing up behind the whole loop.
  for (bool more = true; more;) {
    std::lock_guard<std::mutex> lock(list_mutex);
    cancelling = true;
    more = false;
    int cancelled = 0;
    for (TIdMappedPortContext* ctx : contexts) {
      if (ctx->cancelled_) continue;
      if (cancelled++ == kCancelChunk) {
        more = true;
        break;
      }
      ctx->CancelForStop();
    }
  }
  // Every wait of a busy worker is cancellable, so this ends promptly. The
  // polling round only re-cancels, as a safety net for a wait that began just
  // after the cancel.
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(workers_mutex);
      if (workers_cv.wait_for(lock, std::chrono::milliseconds(kDeactivatePollMs), [&] { return workers == 0; })) {
        break;
      }
    }
    CancelAll();
  }
  // No worker hands a connection over any more: the loops, woken by the wake
  // fd, have been closing theirs meanwhile; they end the rest and their
  // threads. Connections still queued for a worker were never served.
  if (loops) {
    loops->Quit();
    std::unique_ptr<TRelayLoops> gone;
    {
      std::lock_guard<std::mutex> lock(list_mutex);  // Cancel() reads `loops` under it
      gone = std::move(loops);
    }
  }
  std::deque<TIdMappedPortContext*> unserved;
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    unserved.swap(queued);
  }
  for (TIdMappedPortContext* ctx : unserved) delete ctx;
  CloseListeners();
  if (spare_fd >= 0) ::close(spare_fd);
  spare_fd = -1;
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    workers_quit = false;
    waiting = 0;
    relaying = 0;
    adopted = 0;
  }
  active = false;
}

// ---------------------------------------------------------------------------
// Waiting for connections (worker threads)

// A pause of kResourceBackoffMs, cut short by deactivation.
bool TIdMappedPortTCP::Impl::Backoff() {
  pollfd p{wake_fd, POLLIN, 0};
  return ::poll(&p, 1, kResourceBackoffMs) == 0;
}

TIdMappedPortContext* TIdMappedPortTCP::Impl::EndThread() {
  if (--workers == 0) workers_cv.notify_all();
  return nullptr;
}

// Bounded by kWorkerIdleMs for every thread but the last one waiting, which
// waits until a connection comes or deactivation begins.
TIdMappedPortContext* TIdMappedPortTCP::Impl::Await(bool counted) {
  if (!counted) {
    std::lock_guard<std::mutex> lock(workers_mutex);
    if (workers_quit) return EndThread();
    // A connection queued for a free worker comes first.
    if (TIdMappedPortContext* next = TakeQueued()) return next;
    // A pool over its bound (a worker back from relaying its own connection)
    // shrinks.
    if (waiting >= kMaxWaiting || (waiting > 0 && workers - relaying > PoolBound())) {
      return EndThread();
    }
    ++waiting;
  }
  for (;;) {
    epoll_event events[4];
    const int n = ::epoll_wait(epoll_fd, events, 4, kWorkerIdleMs);
    // A count of refused connections left when the refusals stopped is
    // reported by a waiter at the latest after its idle time.
    if (refusals_pending.load(std::memory_order_relaxed)) ReportRefusals();
    if (n < 0) {
      // Interrupted; any other failure would repeat at once, so it pauses.
      if (errno == EINTR || Backoff()) continue;
      std::lock_guard<std::mutex> lock(workers_mutex);
      --waiting;
      return EndThread();
    }
    if (n == 0) {
      std::lock_guard<std::mutex> lock(workers_mutex);
      if (waiting > 1 || workers_quit) {
        --waiting;
        return EndThread();
      }
      continue;
    }
    // Lowered when this pass ends, after `waiting` or `workers` has changed
    // (and before EndThread, the thread's last touch of the server).
    struct AcceptingScope {
      std::atomic<int>* count;
      explicit AcceptingScope(std::atomic<int>& c) : count(&c) { count->fetch_add(1); }
      void Done() {
        if (count) count->fetch_sub(1);
        count = nullptr;
      }
      ~AcceptingScope() { Done(); }
    } acceptingScope(accepting);
    TIdMappedPortContext* mine = nullptr;
    bool stop = false;
    for (int i = 0; i < n; ++i) {
      const uint32_t which = events[i].data.u32;
      if (which == kWakeEvent) {
        stop = true;
        continue;
      }
      if (which == kQueueEvent) {
        // A connection was queued while this thread idled: it takes one
        // unless it is the last one waiting (which keeps accepting).
        uint64_t v;
        [[maybe_unused]] ssize_t r = ::read(queue_fd, &v, sizeof v);
        std::lock_guard<std::mutex> lock(workers_mutex);
        if (!mine && !stop && waiting > 1 && !workers_quit) {
          mine = TakeQueued();
          if (mine && !queued.empty() && waiting > 2) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t w = ::write(queue_fd, &one, sizeof one);
          }
        }
        continue;
      }
      if (which >= listeners.size()) continue;
      if (!stop && !AcceptPending(listeners[which].fd, mine)) stop = true;
      // Armed again for the next waiter: readable now (a connection came after
      // the last accept), it wakes one at once. Left unarmed the socket would
      // never be reported again, so a failure is retried after a pause.
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLONESHOT;
      ev.data.u32 = which;
      while (::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, listeners[which].fd, &ev) != 0) {
        if (errno == ENOENT) break;  // taken out of the set: StopListening
        if (!Backoff()) {
          stop = true;
          break;
        }
      }
    }
    if (stop) {
      // Deactivation under way: the connection would only be cancelled.
      delete mine;
      std::lock_guard<std::mutex> lock(workers_mutex);
      --waiting;
      acceptingScope.Done();
      return EndThread();
    }
    if (!mine) continue;
    // This thread stops waiting to serve the connection; the last one waiting
    // starts a new thread to wait in its place first.
    // At the pool's bound it queues the connection for the next free worker
    // and goes on waiting.
    bool spawn = false;
    {
      std::lock_guard<std::mutex> lock(workers_mutex);
      if (waiting == 1 && !workers_quit) {
        if (PoolHasRoom()) {
          ++workers;  // the new thread takes this one's place in `waiting`
          spawn = true;
        } else {
          Queue(mine);
          mine = nullptr;
        }
      } else {
        --waiting;
      }
    }
    if (!mine) continue;
    if (!spawn) return mine;
    const int err = SpawnThread(nullptr);
    if (err == 0) return mine;
    // No thread to wait in this one's place: the connection is closed at once
    // (served, it would leave the port without a waiter for as long as it
    // lasts), and this thread goes on waiting after a pause.
    {
      std::lock_guard<std::mutex> lock(workers_mutex);
      --workers;  // never the last: this thread runs
    }
    delete mine;
    Refused(kThreads, err);
    Backoff();
  }
}

bool TIdMappedPortTCP::Impl::AcceptPending(int fd, TIdMappedPortContext*& mine) {
  for (int taken = 1;; ++taken) {
    if (taken % kAcceptBatch == 0) {
      pollfd w{wake_fd, POLLIN, 0};
      if (::poll(&w, 1, 0) > 0) return false;
    }
    int c, err;
    {
      std::shared_lock<std::shared_mutex> room(DescriptorSwapLock());
      c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      err = errno;
    }
    if (c < 0) {
      if (err == EAGAIN || err == EWOULDBLOCK) return true;  // none left
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err == EMFILE || err == ENFILE) {
        // Out of descriptors: every connection pending now is closed at once
        // (the spare descriptor, given up for the moment, makes room to take
        // each one from the queue) instead of waiting unanswered; the ones
        // that come after the pause are served again if descriptors are free
        // by then.
        uint64_t closed = 0;
        {
          std::lock_guard<std::mutex> lock(spare_mutex);
          std::unique_lock<std::shared_mutex> swap(DescriptorSwapLock());
          // A descriptor made outside the relay (the resolver, the TLS
          // library) may have taken the freed slot while the last queue was
          // closed, which lost the spare: it is taken again as soon as any
          // descriptor is free, else the queue would wait unanswered until
          // the load falls.
          if (spare_fd < 0) spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
          if (spare_fd >= 0) {
            ::close(spare_fd);
            for (;;) {
              int d = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
              if (d < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
              }
              ::close(d);
              ++closed;
            }
            spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
          }
        }
        if (closed > 0) Refused(kDescriptors, err, closed);
        return Backoff();
      }
      if (err == ENOBUFS || err == ENOMEM) return Backoff();
      return true;  // back to the wait (other failures: the half-made connection is gone)
    }
    // The connection kept in `mine` is not listed yet.
    if (self.MaxConnections > 0 && self.ConnectionCount() + (mine ? 1 : 0) >= self.MaxConnections) {
      ::close(c);
      continue;
    }
    TIdMappedPortContext* ctx = NewContext(c);
    if (!ctx) {
      if (!Backoff()) return false;
      continue;
    }
    if (mine) Dispatch(mine);
    mine = ctx;
  }
}

TIdMappedPortContext* TIdMappedPortTCP::Impl::NewContext(int fd) {
  TIdMappedPortContext* ctx = nullptr;
  try {
    ctx = new TIdMappedPortContext(self, fd);
  } catch (...) {
    ::close(fd);
    Refused(kMemory, ENOMEM);
    return nullptr;
  }
  return ctx;
}

void TIdMappedPortTCP::Impl::Dispatch(TIdMappedPortContext* ctx) {
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    if (!PoolHasRoom()) {
      Queue(ctx);  // for the next free worker
      return;
    }
    ++workers;
  }
  const int err = SpawnThread(ctx);
  if (err == 0) return;
  // No thread: close the connection at once and pause.
  delete ctx;
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    --workers;  // never the last: the caller runs
  }
  Refused(kThreads, err);
  Backoff();
}

int TIdMappedPortTCP::Impl::SpawnThread(TIdMappedPortContext* ctx) {
  if (self.ThreadStartAllowed && !self.ThreadStartAllowed()) return EAGAIN;
  auto* start = new (std::nothrow) WorkerStart{this, ctx};
  if (!start) return ENOMEM;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int r = ::pthread_create(&t, &attr, &MappedPortWorker::Main, start);
  pthread_attr_destroy(&attr);
  if (r != 0) delete start;
  return r;
}

void TIdMappedPortTCP::Impl::Refused(Limit kind, int code, uint64_t count) {
  bool due;
  {
    std::lock_guard<std::mutex> lock(refusals_mutex);
    Refusal& r = refusals[kind];
    if (r.count == 0) r.code = code;
    r.count += count;
    due = std::chrono::steady_clock::now() - last_refusal_report >= kRefusalReportInterval;
    refusals_pending.store(true, std::memory_order_relaxed);
  }
  if (due) ReportRefusals();
}

void TIdMappedPortTCP::Impl::ReportRefusals() {
  Refusal due[kLimits];
  {
    std::lock_guard<std::mutex> lock(refusals_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_refusal_report < kRefusalReportInterval) return;
    bool any = false;
    for (int k = 0; k < kLimits; ++k) {
      due[k] = refusals[k];
      refusals[k] = Refusal{};
      any = any || due[k].count > 0;
    }
    refusals_pending.store(false, std::memory_order_relaxed);
    if (!any) return;
    last_refusal_report = now;
  }
  TIdContextExceptionEvent hook = Copy(on_exception);
  if (!hook) return;
  for (int k = 0; k < kLimits; ++k) {
    if (due[k].count == 0) continue;
    std::string message;
    if (k == kThreads) {
      message = "Could not start a thread: ";
      message += SystemErrorText(due[k].code);
    } else {
      message = SocketErrorMessage(due[k].code);
    }
    message += ' ';
    message += std::to_string(due[k].count);
    message += due[k].count == 1 ? " connection closed at once." : " connections closed at once.";
    try {
      // The hook's context stands for the refused connections: it has no
      // socket and is never listed.
      TIdMappedPortContext refused(self, -1);
      hook(refused, EIdSocketError(due[k].code, message));
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------
// Worker thread (one connection at a time)

// Serves connections, waiting for the next one in between; a thread that has
// waited kWorkerIdleMs without one ends, unless it is the last one waiting.
void* MappedPortWorker::Main(void* arg) {
  auto* start = static_cast<TIdMappedPortTCP::Impl::WorkerStart*>(arg);
  TIdMappedPortTCP::Impl& im = *start->server;
  TIdMappedPortContext* ctx = start->ctx;
  delete start;
  // Cancel() wakes this thread's waits by a signal, blocked outside them.
  BlockWakeSignalForThread();
  bool counted = ctx == nullptr;
  for (;;) {
    if (ctx) {
      bool release = true;
      try {
        release = Run(*ctx);
      } catch (...) {
      }
      if (release) delete ctx;
    }
    ctx = im.Await(counted);
    if (!ctx) return nullptr;
    counted = false;
  }
}

std::optional<std::pair<TIdMappedPortTCP::Impl::Limit, int>> MappedPortWorker::LimitMet(
    const std::exception_ptr& error) {
  using Impl = TIdMappedPortTCP::Impl;
  try {
    std::rethrow_exception(error);
  } catch (const EIdSocketError& e) {
    switch (e.LastError) {
      case EMFILE:
      case ENFILE: return std::make_pair(Impl::kDescriptors, e.LastError);
      case ENOMEM:
      case ENOBUFS: return std::make_pair(Impl::kMemory, e.LastError);
      // The set-up's only source of EAGAIN: no thread for a name lookup.
      case EAGAIN: return std::make_pair(Impl::kThreads, e.LastError);
      default: return std::nullopt;
    }
  } catch (const std::bad_alloc&) {
    return std::make_pair(Impl::kMemory, ENOMEM);
  } catch (...) {
    return std::nullopt;
  }
}

void MappedPortWorker::Report(TIdMappedPortContext& ctx, const std::exception_ptr& error) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  TIdContextExceptionEvent hook = im.Copy(im.on_exception);
  if (!hook) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    try {
      hook(ctx, e);
    } catch (...) {
    }
  } catch (...) {
    EIdException unknown("");
    try {
      hook(ctx, unknown);
    } catch (...) {
    }
  }
}

void MappedPortWorker::Deregister(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  std::lock_guard<std::mutex> lock(im.list_mutex);
  im.ended_to_remote += ctx.BytesToRemote();
  im.ended_to_local += ctx.BytesToLocal();
  auto& v = im.contexts;
  // The latest connections are at the end: searched from there.
  for (auto it = v.rbegin(); it != v.rend(); ++it) {
    if (*it == &ctx) {
      v.erase(std::next(it).base());
      break;
    }
  }
  // Its final figures, for a window that shows the connections.
  try {
    if (im.ended.size() >= TIdMappedPortTCP::kEndedKept) im.ended.pop_front();
    im.ended.push_back({ctx.Id(), std::chrono::steady_clock::now() - ctx.Started(), ctx.BytesToRemote(),
                        ctx.BytesToLocal()});
  } catch (...) {
  }
}

bool MappedPortWorker::Run(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP& server = ctx.server_;
  TIdMappedPortTCP::Impl& im = *server.impl_;
  auto isCancelled = [&] {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    return ctx.cancelled_;
  };
  auto deregister = [&] { Deregister(ctx); };

  // Listed before anything can wait, so that deactivation finds this
  // connection and cancels it; one listed while deactivation is under way
  // cancels itself.
  {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    im.contexts.push_back(&ctx);
    if (im.cancelling) ctx.Cancel();
  }

  // The outbound client joins the context under the list lock, so that a
  // cancel from then on reaches its connect and handshakes too.
  std::exception_ptr failure;
  try {
    auto client = std::make_unique<TIdTCPClient>();
    client->Host = server.MappedHost;
    client->Port = server.MappedPort;
    client->IPVersion = ParseIPv6Literal(server.MappedHost) ? Id_IPv6 : Id_IPv4;
    client->ConnectTimeout = -1;
    {
      std::lock_guard<std::mutex> lock(im.list_mutex);
      ctx.outbound_ = std::move(client);
      if (ctx.cancelled_) ctx.outbound_->Cancel();
    }
    if (TIdContextEvent hook = im.Copy(im.on_connect)) hook(ctx);
    ctx.outbound_->Connect();
    if (TIdContextEvent hook = im.Copy(im.on_outbound_connect)) hook(ctx);
    ForwardBuffered(ctx);
  } catch (...) {
    failure = std::current_exception();
  }

  if (failure) {
    // A connection cancelled by deactivation ends without a report.
    const bool quiet = isCancelled();
    // One that met a limit of the process (descriptors, threads, memory) is closed at
    // once and counted: a flood of them makes one report a second.
    if (!quiet) {
      if (auto limit = LimitMet(failure)) {
        ctx.local_->Close();
        deregister();
        im.Refused(limit->first, limit->second);
        return true;
      }
    }
    if (!quiet) Report(ctx, failure);
    ctx.local_->Close();
    if (!quiet) Report(ctx, failure);
    deregister();
    return true;
  }

  // Set up: a plain connection goes to a relay loop, and this worker back to
  // its pool.
  if (HandOver(ctx)) return false;

  // Relayed on this thread (TLS, data hooks, no loop): the worker leaves the
  // pool's count while it does, and a connection queued for a worker gets a
  // thread of its own.
  TIdMappedPortContext* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    ++im.relaying;
    if (!im.workers_quit && im.PoolHasRoom() && (next = im.TakeQueued())) ++im.workers;
  }
  if (next) {
    if (const int err = im.SpawnThread(next)) {
      delete next;
      {
        std::lock_guard<std::mutex> lock(im.workers_mutex);
        --im.workers;  // never the last: this thread runs
      }
      im.Refused(TIdMappedPortTCP::Impl::kThreads, err);
    }
  }
  // Once the connection is set up, a failing relay is the ordinary end of a
  // connection (a side that went away): it ends without a report.
  try {
    Relay(ctx);
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    --im.relaying;
  }
  Finish(ctx);
  return true;
}

bool MappedPortWorker::HandOver(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  if (!im.loops) return false;
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler* remote = ctx.outbound_->IOHandler();
  if (!remote || !remote->Connected() || !local.Connected() || !PlainSockets(local, *remote)) return false;
  if (!local.InputBufferIsEmpty() || !remote->InputBufferIsEmpty()) return false;
  {
    std::lock_guard<std::mutex> lock(im.hooks_mutex);
    if (im.on_execute || im.on_outbound_data) return false;
  }
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    ++im.adopted;
  }
  if (im.loops->Adopt(&ctx)) return true;
  std::lock_guard<std::mutex> lock(im.workers_mutex);
  --im.adopted;
  return false;
}

// The relay has ended, so nothing more is forwarded: whatever is still open
// is closed at once, and the disconnect hook sees the final byte counts
// before the connection leaves the list.
void MappedPortWorker::Finish(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  try {
    if (ctx.outbound_->Connected()) ctx.outbound_->Disconnect(false);
  } catch (...) {
  }
  if (TIdContextEvent hook = im.Copy(im.on_disconnect)) {
    try {
      hook(ctx);
    } catch (...) {
    }
  }
  Deregister(ctx);
  // The caller releases the context, which closes whatever is still open.
}

// Bytes that a handshake already read past its reply (or that a hook put into
// an input buffer) go to the other side before the first wait: the relay waits
// on the sockets only, so it would never see them.
void MappedPortWorker::ForwardBuffered(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler& remote = *ctx.outbound_->IOHandler();
  if (!local.InputBufferIsEmpty()) {
    ctx.data_.swap(local.InputBuffer());
    local.InputBuffer().clear();
    if (TIdContextEvent hook = im.Copy(im.on_execute)) hook(ctx);
    remote.Write(ctx.data_);
    ctx.CountToRemote(ctx.data_.size());
    ctx.data_.clear();
  }
  if (!remote.InputBufferIsEmpty()) {
    ctx.data_.swap(remote.InputBuffer());
    remote.InputBuffer().clear();
    if (TIdContextEvent hook = im.Copy(im.on_outbound_data)) hook(ctx);
    local.Write(ctx.data_);
    ctx.CountToLocal(ctx.data_.size());
    ctx.data_.clear();
  }
}

// Relays until one side has finished, then closes both: the side whose peer
// may still be waiting for what was forwarded to it gets a lingering close.
// A client that ends its sending direction keeps receiving: the remote's
// sending direction is shut down and the remote's reply relayed until the
// remote closes. A failure of the relay ends the connection without a report,
// except a time-out, which the error hook hears of once.
void MappedPortWorker::Relay(TIdMappedPortContext& ctx) {
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler* remote = ctx.outbound_->IOHandler();
  if (!remote || !remote->Connected() || !local.Connected()) return;
  const int lingerMs = ctx.server_.LingerMs;
  ClientEnd client;
  Outcome outcome = Outcome::kStopped;
  std::exception_ptr failure;
  try {
    // The copying relay hands a bulk transfer over to the zero-copy relay at
    // most once; the zero-copy relay hands back for good when a data hook is
    // set.
    bool splice = ctx.server_.ZeroCopyRelay;
    for (;;) {
      if (splice && RelaySplice(ctx, local, *remote, client, outcome)) break;
      outcome = RelayCopy(ctx, local, *remote, client, !splice && ctx.server_.ZeroCopyBulk);
      if (outcome != Outcome::kSplice) break;
      splice = true;
    }
  } catch (...) {
    outcome = Outcome::kStopped;
    failure = std::current_exception();
  }
  if (local.Cancelled() || remote->Cancelled()) {
    outcome = Outcome::kStopped;
  } else if (failure && TimedOut(failure)) {
    Report(ctx, failure);
  }
  switch (outcome) {
    case Outcome::kRemoteEnded:
      remote->Close();
      local.LingeringClose(kLingerQuietMs, lingerMs);
      break;
    case Outcome::kLocalGone:
      local.Close();
      remote->LingeringClose(kLingerQuietMs, lingerMs);
      break;
    case Outcome::kRemoteStalled: {
      // What the remote never took is dropped either way: a reset tells it
      // at once, where a close would queue the end of stream behind those
      // bytes for as long as the system keeps probing its closed window.
      local.Close();
      const linger abort{1, 0};
      ::setsockopt(remote->Handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      remote->Close();
      break;
    }
    case Outcome::kStopped:
    case Outcome::kSplice:
      break;  // the caller closes both sides
  }
}

bool MappedPortWorker::TimedOut(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EIdSocketError& e) {
    return e.LastError == ETIMEDOUT;
  } catch (const EIdReadTimeout&) {
    return true;
  } catch (...) {
    return false;
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// Poll set of the relay: both sockets and the server's stop fd (readable once
// deactivation has begun: one write ends every relay's wait at once); a
// Cancel() of either side wakes the wait by a signal, as the relay's thread
// is registered with both handlers' wakers while the relay lasts. Waits
// without a time limit unless one is given: bounded by the peers, by Cancel()
// and by deactivation.
struct RelayPoll {
  TIdIOHandler& local;
  TIdIOHandler& remote;
  TWaker::Scope localWake, remoteWake;
  pollfd fds[3];
  RelayPoll(TIdIOHandler& l, TIdIOHandler& r, int stopFd)
      : local(l),
        remote(r),
        localWake(l.CancelWaker(), /*pollsStop=*/true),
        remoteWake(r.CancelWaker(), /*pollsStop=*/true),
        fds{{l.Handle(), POLLIN, 0}, {r.Handle(), POLLIN, 0}, {stopFd, POLLIN, 0}} {}
  bool Cancelled() const { return local.Cancelled() || remote.Cancelled(); }
  // After the client's end of stream: the local socket only reports a failure
  // (a reset), which ends the relay.
  void StopReadingLocal() { fds[0].events = 0; }
  // false: cancelled or failed.
  bool Wait(int timeout, bool& localReady, bool& remoteReady) {
    for (;;) {
      if (Cancelled()) return false;
      int r = WakeablePoll(fds, 3, timeout);
      if (r < 0) {
        if (errno == EINTR) continue;  // woken: the flags are looked at again
        return false;
      }
      if (fds[2].revents) return false;
      localReady = fds[0].revents != 0;
      remoteReady = fds[1].revents != 0;
      return true;
    }
  }
  // One wait for the events the caller set in fds[0] and fds[1] (a side whose
  // fd is -1 is left out); their revents tell what came. false: cancelled,
  // stopped or failed. Another signal ends the wait with nothing reported.
  bool WaitOnce(int timeout) {
    fds[0].revents = fds[1].revents = fds[2].revents = 0;
    if (Cancelled()) return false;
    int r = WakeablePoll(fds, 3, timeout);
    if (r < 0) {
      if (errno != EINTR) return false;
      fds[0].revents = fds[1].revents = 0;
      return !Cancelled();
    }
    return fds[2].revents == 0;
  }
};

// What one move of one direction came to. kStalled: the client has ended its
// stream or gone and the remote took nothing for the lingering bound.
enum class Moved { kOk, kEof, kFromGone, kToGone, kStop, kStalled };

// Waits until `fd` can take more bytes; kStop when cancelled. Bounded by the
// peer reading, by Cancel() (the relay's thread is registered with both
// wakers) and by deactivation (`stopFd`). With `clientFd` (a write to the
// remote) the client's socket is watched as well: once the client has ended
// its stream or gone, a remote that takes nothing for `lingerMs` ends the
// wait with kStalled.
Moved WaitRoom(int fd, const RelayPoll& relay, int stopFd, int clientFd, int lingerMs) {
  pollfd fds[3] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}, {clientFd, POLLRDHUP, 0}};
  bool clientEnded = false;
  Clock::time_point deadline;
  for (;;) {
    if (relay.Cancelled()) return Moved::kStop;
    int timeout = -1;
    if (clientEnded) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Moved::kStalled;
      timeout = static_cast<int>(left);
    }
    int r = WakeablePoll(fds, 3, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents) return Moved::kStop;
    if (fds[0].revents) return Moved::kOk;
    if (fds[2].revents) {  // its end of stream, or a reset: seen once
      clientEnded = true;
      deadline = Clock::now() + std::chrono::milliseconds(lingerMs);
      fds[2].fd = -1;
    }
  }
}

// A bulk transfer begins: its sockets to loopback peers drop pacing.
void UnpaceBulk(TIdIOHandler& local, TIdIOHandler& remote) {
  UnpaceLoopback(local.Handle());
  UnpaceLoopback(remote.Handle());
}

using Outcome = MappedPortWorker::Outcome;

// What a move from the client means for the zero-copy relay: nothing (go
// on), or how it ended (the client's own end or failure is handed over to the
// copying relay before this).
std::optional<Outcome> AfterClientMove(Moved moved) {
  switch (moved) {
    case Moved::kOk:
    case Moved::kEof:
    case Moved::kFromGone: return std::nullopt;
    case Moved::kToGone: return Outcome::kRemoteEnded;
    case Moved::kStalled: return Outcome::kRemoteStalled;
    case Moved::kStop: return Outcome::kStopped;
  }
  return Outcome::kStopped;
}

// What a move from the remote means for the zero-copy relay. The remote's end of stream
// ends it; while the client still sends, that is the remote disconnecting
// (only the outbound handler's status hook is set).
std::optional<Outcome> AfterRemoteMove(Moved moved, TIdIOHandler& remote, bool localEof) {
  switch (moved) {
    case Moved::kOk: return std::nullopt;
    case Moved::kEof:
      if (!localEof) remote.DoStatus(hsDisconnected);
      return Outcome::kRemoteEnded;
    case Moved::kFromGone: return Outcome::kRemoteEnded;
    case Moved::kToGone: return Outcome::kLocalGone;
    case Moved::kStalled:
    case Moved::kStop: return Outcome::kStopped;
  }
  return Outcome::kStopped;
}

}  // namespace

// Zero-copy relay for two plain sockets without data hooks: bytes move
// socket -> pipe -> socket inside the kernel, at most one chunk at a time, and
// the pipe is empty again at the end of every move. Returns false when this
// path does not apply (or stops applying because a data hook was set), so the
// copying relay takes over.
bool MappedPortWorker::RelaySplice(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote,
                                   ClientEnd& client, Outcome& outcome) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  if (!PlainSockets(local, remote) || client.failed) return false;
  if (!local.InputBufferIsEmpty() || !remote.InputBufferIsEmpty()) return false;
  uint64_t version = im.data_hooks_version.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> lock(im.hooks_mutex);
    if (im.on_execute || im.on_outbound_data) return false;
  }
  // A pipe from the process's budget; without one (budget spent, no
  // descriptor or pipe quota left, a pipe too small) the copying relay moves
  // the bytes instead.
  if (SplicePipeCount().fetch_add(1, std::memory_order_relaxed) >= TIdMappedPortTCP::kMaxSplicePipes) {
    SplicePipeCount().fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  struct PipeHolder {
    int p[2] = {-1, -1};
    ~PipeHolder() {
      if (p[0] >= 0) ::close(p[0]);
      if (p[1] >= 0) ::close(p[1]);
      SplicePipeCount().fetch_sub(1, std::memory_order_relaxed);
    }
  } pipe;
  int* const pipefd = pipe.p;
  {
    std::shared_lock<std::shared_mutex> room(DescriptorSwapLock());
    if (::pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  }
  // Over its pipe quota a process gets no larger pipe (and a new pipe may be
  // as small as two pages).
  int granted = ::fcntl(pipefd[1], F_SETPIPE_SZ, kSplicePipeSize);
  if (granted < 0) granted = ::fcntl(pipefd[1], F_GETPIPE_SZ);
  if (granted < kMinSplicePipe) return false;
  const int moveSize = std::min(granted, kSplicePipeSize);
  const int lingerMs = ctx.server_.LingerMs;

  bool unpaced = false;  // UnpaceLoopback() done for this connection's sockets
  RelayPoll waiter(local, remote, im.wake_fd);
  if (client.eof) waiter.StopReadingLocal();
  auto move = [&](TIdIOHandler& from, TIdIOHandler& to) {
    const bool toRemote = &to == &remote;
    ssize_t n = ::splice(from.Handle(), nullptr, pipefd[1], nullptr, static_cast<size_t>(moveSize),
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return Moved::kOk;
      return PeerGoneError(errno) ? Moved::kFromGone : Moved::kStop;
    }
    if (n == 0) return Moved::kEof;
    if (n >= kChunkSize && !unpaced) {  // a bulk transfer
      unpaced = true;
      UnpaceBulk(local, remote);
    }
    while (n > 0) {
      ssize_t m = ::splice(pipefd[0], nullptr, to.Handle(), nullptr, static_cast<size_t>(n),
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (m > 0) {
        n -= m;
        if (toRemote) {
          ctx.CountToRemote(static_cast<size_t>(m));
        } else {
          ctx.CountToLocal(static_cast<size_t>(m));
        }
      } else if (m < 0 && errno == EINTR) {
        continue;
      } else if (m < 0 && errno == EAGAIN) {
        // Toward the remote, the client is watched meanwhile: a client that
        // has gone does not keep a remote that reads nothing forever.
        const Moved room = WaitRoom(to.Handle(), waiter, im.wake_fd, toRemote ? local.Handle() : -1, lingerMs);
        if (room != Moved::kOk) return room;
      } else {
        return Moved::kToGone;
      }
    }
    return Moved::kOk;
  };

  for (;;) {
    if (im.data_hooks_version.load(std::memory_order_acquire) != version) {
      std::lock_guard<std::mutex> lock(im.hooks_mutex);
      if (im.on_execute || im.on_outbound_data) return false;  // pipe is empty here
      version = im.data_hooks_version.load(std::memory_order_acquire);
    }
    bool lr = false, rr = false;
    if (!waiter.Wait(-1, lr, rr)) {
      outcome = Outcome::kStopped;
      return true;
    }
    if (lr && client.eof) {  // the client reset after its end of stream
      client.failed = true;
      return false;
    }
    if (lr) {
      // The pipe is empty after the client's end or failure: the copying
      // relay goes on from there.
      const Moved moved = move(local, remote);
      if (moved == Moved::kEof) {
        client.eof = true;
        remote.ShutdownWrite();
        return false;
      }
      if (moved == Moved::kFromGone) {
        client.failed = true;
        return false;
      }
      if (auto end = AfterClientMove(moved)) {
        outcome = *end;
        return true;
      }
    }
    if (rr) {
      if (auto end = AfterRemoteMove(move(remote, local), remote, client.eof)) {
        outcome = *end;
        return true;
      }
    }
  }
}

// The general relay: works through the handlers' virtual transport (a TLS
// handler decrypts in ReadAvailable), calls the data hooks with each chunk.
bool MappedPortWorker::PlainSockets(TIdIOHandler& local, TIdIOHandler& remote) {
  return typeid(local) == typeid(TIdIOHandlerStack) && typeid(remote) == typeid(TIdIOHandlerStack);
}

// The copying relay never waits in a write: a chunk that the other side does
// not take at once is held, and while a direction holds bytes its source is
// not read (the held chunk is its only buffer), but the other direction goes
// on. So a side that takes more only once its own output has been read (a
// TLS server in front of an echo, both directions carrying bulk data) is
// always read while a write to it waits, and a client that has gone is seen
// while its last bytes wait for the remote.
//
// `mayHandOver`: a read that fills kChunkSize bytes while no data hook is set
// ends this relay with kSplice once nothing is held, when both sides are plain
// sockets, so that the zero-copy relay moves the rest.
MappedPortWorker::Outcome MappedPortWorker::RelayCopy(TIdMappedPortContext& ctx, TIdIOHandler& local,
                                                      TIdIOHandler& remote, ClientEnd& client, bool mayHandOver) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  // Reads take at most kChunkSize bytes while a data hook sees the chunks. The
  // chunk size is invisible otherwise: once a read fills the buffer (a bulk
  // transfer), a larger one of BulkReadSize bytes serves the rest of the
  // connection, which saves system calls per byte. The small buffer belongs to
  // the worker thread and serves its connections one after the other; it is
  // made once a read fills the few bytes read on the stack before it, so a
  // thread that only ever relays short exchanges (an echo, keystrokes) never
  // touches the memory of a whole chunk.
  //
  // Each direction reads into buffers of its own: a chunk that the other side
  // has not taken stays where it was read (the direction is not read again
  // until it has gone) while the other direction reads on.
  thread_local std::unique_ptr<uint8_t[]> t_small[2];
  struct Buffers {
    uint8_t* small;
    uint8_t first[kFirstReadSize];
    std::unique_ptr<uint8_t[]> big;
  } fromLocal{t_small[0].get(), {}, {}}, fromRemote{t_small[1].get(), {}, {}};
  const int bulkSize = ctx.server_.BulkReadSize;
  const int lingerMs = ctx.server_.LingerMs;
  const bool handOver = mayHandOver && PlainSockets(local, remote);
  bool bulk = false;  // a read filled kChunkSize bytes
  bool unpaced = false;  // UnpaceLoopback() done for this connection's sockets
  TIdContextEvent onExecute, onOutboundData;
  uint64_t version = ~uint64_t{0};
  RelayPoll waiter(local, remote, im.wake_fd);
  const int localFd = local.Handle();
  const int remoteFd = remote.Handle();

  // The bytes of one direction that were read (and shown to its data hook)
  // and that the other side has not taken yet: in the direction's read
  // buffer, or in `own` when they came from an input buffer or a hook.
  struct Held {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    size_t done = 0;
    std::vector<uint8_t> own;
    bool Empty() const { return done >= size; }
    void Clear() {
      bytes = nullptr;
      size = done = 0;
      own.clear();
    }
  } toRemote, toLocal;
  bool& localEof = client.eof;        // the client's end of stream has been read
  bool& localFailed = client.failed;  // the client reset while the remote had not taken everything
  // The client has ended its stream (read, or its end seen coming behind
  // bytes not read yet) or gone: from then on a remote that takes no byte of
  // what is still on its way to it (held here, or unacknowledged in its
  // socket) for lingerMs ends the connection.
  bool localEnding = localEof || localFailed;
  bool shutdownDue = false;  // the client's end of stream goes on to the remote once nothing is held
  bool remoteEnded = false;  // the remote ended or failed: what it sent goes to the client, then the end
  Clock::time_point stallFrom = Clock::now();  // the client's end, or the remote's last take since
  // Bytes the remote's socket held unacknowledged at the last look, while the
  // client has ended.
  auto unacked = [&] {
    int queued = 0;
    return ::ioctl(remoteFd, SIOCOUTQ, &queued) == 0 ? int64_t{queued} : int64_t{0};
  };
  int64_t owed = localEnding ? unacked() : 0;
  auto clientEnds = [&] {
    if (localEnding) return;
    localEnding = true;
    stallFrom = Clock::now();
    owed = unacked();
  };

  // Offers `len` bytes at `p` to `to` without waiting and counts what it
  // takes. false: `to` is gone.
  auto offer = [&](TIdIOHandler& to, const uint8_t* p, size_t len, size_t& taken) {
    taken = 0;
    while (taken < len) {
      const int piece = static_cast<int>(std::min<size_t>(len - taken, size_t{1} << 30));
      const int r = to.WriteAvailable(p + taken, piece);
      if (r > 0) {
        taken += static_cast<size_t>(r);
        if (&to == &remote) {
          ctx.CountToRemote(static_cast<size_t>(r));
          stallFrom = Clock::now();
          if (localEnding) owed = unacked();
        } else {
          ctx.CountToLocal(static_cast<size_t>(r));
        }
        continue;
      }
      if (r == TIdIOHandler::kWriteAgain) return true;
      if (r < 0) to.CheckForError(r);  // raises (ending the relay) unless the peer is gone
      return false;
    }
    return true;
  };
  // Offers what `held` keeps for `to` again. false: `to` is gone.
  auto flush = [&](Held& held, TIdIOHandler& to) {
    size_t taken = 0;
    const bool ok = offer(to, held.bytes + held.done, held.size - held.done, taken);
    held.done += taken;
    if (held.Empty()) held.Clear();
    return ok;
  };

  // One chunk of one direction: read, shown to the hook, offered, the rest held.
  auto pass = [&](TIdIOHandler& from, TIdIOHandler& to, const TIdContextEvent& hook, Held& held) {
    const bool outbound = &from == &remote;
    Buffers& b = outbound ? fromRemote : fromLocal;
    const uint8_t* p;
    size_t len;
    if (!from.InputBufferIsEmpty()) {
      ctx.data_.swap(from.InputBuffer());
      from.InputBuffer().clear();
      p = ctx.data_.data();
      len = ctx.data_.size();
    } else {
      const bool observed = onExecute || onOutboundData;
      uint8_t* const buf = b.big && !observed ? b.big.get() : b.small ? b.small : b.first;
      const int limit = b.big && !observed ? bulkSize : b.small ? kChunkSize : kFirstReadSize;
      int n = from.ReadAvailable(buf, limit);
      if (n == limit && buf != b.first && !unpaced) {  // a bulk transfer begins
        unpaced = true;
        UnpaceBulk(local, remote);
      }
      if (n == limit && buf == b.first) {
        std::unique_ptr<uint8_t[]>& small = t_small[outbound ? 1 : 0];
        small.reset(new uint8_t[kChunkSize]);
        b.small = small.get();
      } else if (n == limit && !observed) {
        bulk = true;
        if (!handOver && !b.big && bulkSize > kChunkSize) b.big.reset(new (std::nothrow) uint8_t[bulkSize]);
      }
      if (n == TIdIOHandler::kReadAgain) return Moved::kOk;
      if (n == 0) return Moved::kEof;
      if (n < 0) {
        from.CheckForError(n);  // raises (ending the relay) unless the peer is gone
        return Moved::kFromGone;
      }
      p = buf;
      len = static_cast<size_t>(n);
    }
    if (hook) {
      if (p != ctx.data_.data()) ctx.data_.assign(p, p + len);
      hook(ctx);
      p = ctx.data_.data();
      len = ctx.data_.size();
    }
    size_t taken = 0;
    const bool ok = len == 0 || offer(to, p, len, taken);
    if (ok && taken < len) {
      if (p == ctx.data_.data()) {
        held.own.swap(ctx.data_);  // the same bytes at the same place
        p = held.own.data();
      }
      held.bytes = p;
      held.size = len;
      held.done = taken;
    }
    ctx.data_.clear();
    return ok ? Moved::kOk : Moved::kToGone;
  };

  // The client has gone: what is on its way to the remote still goes to it
  // (bounded), nothing more goes to the client. true: the relay ends.
  auto clientGone = [&] {
    clientEnds();
    localFailed = true;
    toLocal.Clear();
    owed = unacked();
    return toRemote.Empty() && owed == 0;
  };
  // The remote has ended or gone: nothing more goes to it.
  auto remoteGone = [&] {
    remoteEnded = true;
    toRemote.Clear();
    shutdownDue = false;
  };

  for (;;) {
    uint64_t v = im.data_hooks_version.load(std::memory_order_acquire);
    if (v != version) {
      std::lock_guard<std::mutex> lock(im.hooks_mutex);
      onExecute = im.on_execute;
      onOutboundData = im.on_outbound_data;
      version = v;
    }
    if (remoteEnded && toLocal.Empty()) return Outcome::kRemoteEnded;
    if (localEnding && owed > 0 && toRemote.Empty()) {
      // Only the remote's socket holds bytes for it: what it took since.
      const int64_t left = unacked();
      if (left < owed) stallFrom = Clock::now();
      owed = left;
    }
    if (localFailed && toRemote.Empty() && owed == 0) return Outcome::kLocalGone;
    if (shutdownDue && toRemote.Empty()) {
      shutdownDue = false;
      remote.ShutdownWrite();
    }
    if (bulk && handOver && toRemote.Empty() && toLocal.Empty() && !remoteEnded && !localFailed) {
      return Outcome::kSplice;
    }
    const bool readLocal = !localEof && !localFailed && !remoteEnded && toRemote.Empty();
    const bool readRemote = !remoteEnded && toLocal.Empty();
    // Bytes the transport already holds (decrypted TLS records, a filled input
    // buffer) are taken before waiting again.
    const bool lp = readLocal && (local.TransportPending() || !local.InputBufferIsEmpty());
    const bool rp = readRemote && (remote.TransportPending() || !remote.InputBufferIsEmpty());
    const bool stallBound = localEnding && !remoteEnded && (!toRemote.Empty() || owed > 0);
    int timeout = lp || rp ? 0 : -1;
    if (stallBound) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            stallFrom + std::chrono::milliseconds(lingerMs) - Clock::now())
                            .count();
      if (left <= 0) return Outcome::kRemoteStalled;
      // The remote's acknowledgements wake nobody: looked at now and then.
      const int look = toRemote.Empty() ? static_cast<int>(std::min<long long>(left, kTakeLookMs)) : static_cast<int>(left);
      if (timeout < 0) timeout = look;
    }
    short le = 0, re = 0;
    if (readLocal) le |= POLLIN;
    if (!toLocal.Empty()) le |= local.WriteWantsRead() ? POLLIN : POLLOUT;
    if (!localEnding && !toRemote.Empty()) le |= POLLRDHUP;  // the client's end behind bytes not read yet
    if (readRemote) re |= POLLIN;
    if (!toRemote.Empty()) re |= remote.WriteWantsRead() ? POLLIN : POLLOUT;
    waiter.fds[0].fd = localFailed ? -1 : localFd;
    waiter.fds[0].events = le;
    waiter.fds[1].fd = remoteEnded ? -1 : remoteFd;
    waiter.fds[1].events = re;
    if (!waiter.WaitOnce(timeout)) return Outcome::kStopped;
    const short lrev = waiter.fds[0].revents;
    const short rrev = waiter.fds[1].revents;
    constexpr short kFailed = POLLERR | POLLHUP | POLLNVAL;

    // Writes first: what is held goes out as soon as its side takes it.
    if (!toLocal.Empty() && lrev) {
      if (!flush(toLocal, local) && clientGone()) return Outcome::kLocalGone;
    }
    if (!toRemote.Empty() && rrev) {
      if (!flush(toRemote, remote)) remoteGone();
    }
    // A side that is not read tells its end or failure by itself.
    if (!readLocal && !localFailed && lrev) {
      if (lrev & kFailed) {
        if (clientGone()) return Outcome::kLocalGone;
      } else if (lrev & POLLRDHUP) {
        clientEnds();
      }
    }
    if (!readRemote && !remoteEnded && (rrev & kFailed) && toRemote.Empty()) remoteGone();

    if (readLocal && (lrev || lp)) {
      switch (pass(local, remote, onExecute, toRemote)) {
        case Moved::kOk: break;
        case Moved::kEof:
          // Goes on to the remote once what is held for it has gone.
          localEof = true;
          clientEnds();
          shutdownDue = true;
          break;
        case Moved::kFromGone:
          if (clientGone()) return Outcome::kLocalGone;
          break;
        case Moved::kToGone: remoteGone(); break;
        case Moved::kStalled:
        case Moved::kStop: return Outcome::kStopped;
      }
    }
    if (readRemote && !remoteEnded && (rrev || rp)) {
      switch (pass(remote, local, onOutboundData, toLocal)) {
        case Moved::kOk: break;
        case Moved::kEof:
          if (!localEof) remote.DoStatus(hsDisconnected);
          remoteGone();
          break;
        case Moved::kFromGone: remoteGone(); break;
        case Moved::kToGone:
          if (clientGone()) return Outcome::kLocalGone;
          break;
        case Moved::kStalled:
        case Moved::kStop: return Outcome::kStopped;
      }
    }
  }
}

}  // namespace sorvik
