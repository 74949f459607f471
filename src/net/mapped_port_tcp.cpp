#include "net/mapped_port_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <new>
#include <thread>
#include <typeinfo>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/socket_util.h"

namespace sorvik {

namespace {

// Largest chunk moved per read while a data hook sees the chunks.
constexpr int kChunkSize = TIdIOHandler::kRecvBufferSize;
// The pipe of the zero-copy relay, and its largest move (the system may grant
// a smaller pipe; the moves are then as large as the pipe).
constexpr int kSplicePipeSize = 1024 * 1024;
// Listener poll interval; the wake fd ends the wait at once on deactivation.
constexpr int kListenPollMs = 250;
// Deactivation re-cancels stragglers at this interval while it waits.
constexpr int kDeactivatePollMs = 500;
// Pause after running out of descriptors, memory or threads, so that the
// listener does not spin while the process is at its limits.
constexpr int kResourceBackoffMs = 50;
// A worker whose connection has ended waits this long for the next one before
// its thread ends; at most kMaxIdleWorkers wait at a time. Creating a thread
// is the largest single cost of a new connection.
constexpr int kWorkerIdleMs = 2000;
constexpr size_t kMaxIdleWorkers = 128;
// Lingering close of a side whose counterpart has finished: what its peer
// still sends is discarded until the peer closes, stays silent this long, or
// the whole close has taken kLingerMaxMs; the bytes already forwarded to it
// are delivered meanwhile.
constexpr int kLingerQuietMs = 2000;
constexpr int kLingerMaxMs = 30000;
// Deactivation cancels this many connections per hold of the context lock.
constexpr int kCancelChunk = 32;
// The listener looks at its wake fd after this many accepts in one go.
constexpr int kAcceptBatch = 64;

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

struct TIdMappedPortTCP::Impl {
  explicit Impl(TIdMappedPortTCP& s) : self(s) {}
  TIdMappedPortTCP& self;

  // ---- owner's thread only ----
  bool active = false;
  struct Listener {
    int fd = -1;
    uint16_t port = 0;
    std::thread thread;
  };
  std::vector<Listener> listeners;
  // eventfd, readable once deactivation has begun: the listeners and every
  // relay poll it, so one write ends all their waits at once. The field is set
  // by the owner only while no listener or worker thread runs (before they
  // start, after they have ended).
  int wake_fd = -1;

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

  // ---- worker threads (never held together with list_mutex) ----
  // A worker thread serves one connection at a time. When its connection has
  // ended it waits, idle, up to kWorkerIdleMs for the listener to hand it the
  // next one, then ends.
  struct IdleWorker {
    std::condition_variable cv;             // a connection was handed over, or quit
    TIdMappedPortContext* next = nullptr;   // guarded by workers_mutex
    bool quit = false;                      // guarded by workers_mutex
  };
  std::mutex workers_mutex;
  std::condition_variable workers_cv;  // signalled when `workers` drops
  // Worker threads started and not yet ended, busy or idle; guarded by
  // workers_mutex. Raised by the listener before it starts a worker, lowered
  // by the worker as its very last touch of the server.
  int workers = 0;
  // The idle workers, most recently idle last; guarded by workers_mutex. Each
  // entry lives on its worker's stack while it is listed.
  std::vector<IdleWorker*> idle;
  // Deactivation under way: no worker goes idle; guarded by workers_mutex.
  bool workers_quit = false;

  // Owner's thread: SetActive(true) and SetActive(false).
  void Activate();
  void BindListener(const TIdListenBinding& binding);
  void CloseListeners();
  void Deactivate();

  void ListenLoop(int fd);
  void StartWorker(int fd);
  // Worker thread, after its connection: waits idle for the next one. Null:
  // the thread ends (workers already lowered).
  TIdMappedPortContext* NextConnection();
  bool Backoff();  // false when the listener is being stopped
  void CancelAll();
};

// Worker thread body (a friend of the context and the server). Everything here
// runs on the connection's worker thread.
struct MappedPortWorker {
  static void* Main(void* arg);
  static void Run(TIdMappedPortContext& ctx);
  static void Report(TIdMappedPortContext& ctx, const std::exception_ptr& error);
  static void ForwardBuffered(TIdMappedPortContext& ctx);
  // How a relay ended: the remote side closed or failed (the local side then
  // gets a lingering close), the local side failed (the remote side gets one),
  // or it was stopped (cancelled, or an error: both sides are closed at once).
  // kSplice (copying relay only): a bulk transfer began on a connection the
  // zero-copy relay can take over; nothing is buffered at that point.
  enum class Outcome { kRemoteEnded, kLocalGone, kStopped, kSplice };
  static void Relay(TIdMappedPortContext& ctx);
  // `localEof`: the client has ended its sending direction (the remote's
  // sending direction was shut down with it); kept across a switch of relay.
  static bool RelaySplice(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote, bool& localEof,
                          Outcome& outcome);
  static Outcome RelayCopy(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote, bool& localEof,
                           bool mayHandOver);
  // Both sides are plain sockets (the zero-copy relay's condition, besides
  // the data hooks).
  static bool PlainSockets(TIdIOHandler& local, TIdIOHandler& remote);
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
  local_->AttachSocket(acceptedFd);
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

int TIdMappedPortTCP::ConnectionCount() {
  std::lock_guard<std::mutex> lock(impl_->list_mutex);
  return static_cast<int>(impl_->contexts.size());
}

int TIdMappedPortTCP::IdleWorkerCount() {
  std::lock_guard<std::mutex> lock(impl_->workers_mutex);
  return static_cast<int>(impl_->idle.size());
}

void TIdMappedPortTCP::Impl::CancelAll() {
  std::lock_guard<std::mutex> lock(list_mutex);
  for (TIdMappedPortContext* ctx : contexts) ctx->Cancel();
}

void TIdMappedPortTCP::CancelAllConnections() { impl_->CancelAll(); }

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
// fails leaves no port of the others accepting connections; then one listener
// thread starts per binding.
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
  } catch (...) {
    CloseListeners();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(list_mutex);
    cancelling = false;
  }
  active = true;
  try {
    for (auto& l : listeners) {
      int fd = l.fd;
      l.thread = std::thread([this, fd] { ListenLoop(fd); });
    }
  } catch (...) {
    Deactivate();
    throw;
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
  listeners.push_back({fd, port, {}});
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

// Owner's thread, when activation fails before any listener thread runs:
// closes the sockets made so far and the wake fd.
void TIdMappedPortTCP::Impl::CloseListeners() {
  for (auto& l : listeners) ::close(l.fd);
  listeners.clear();
  ::close(wake_fd);
  wake_fd = -1;
}

// Owner's thread. The listeners stop first, so that no new connection arrives
// while the open ones are cancelled; then the workers are waited for.
void TIdMappedPortTCP::Impl::Deactivate() {
  // The wake fd ends the listeners' wait at once.
  uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
  for (auto& l : listeners) {
    if (l.thread.joinable()) l.thread.join();
    ::close(l.fd);
  }
  listeners.clear();
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
      ctx->Cancel();
    }
  }
  // Idle workers end at once; every wait of a busy one is cancellable, so this
  // ends promptly. The polling round only re-cancels, as a safety net for a
  // wait that began just after the cancel.
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    workers_quit = true;
    for (IdleWorker* w : idle) {
      w->quit = true;
      w->cv.notify_one();
    }
    idle.clear();
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(workers_mutex);
      if (workers_cv.wait_for(lock, std::chrono::milliseconds(kDeactivatePollMs), [&] { return workers == 0; })) {
        break;
      }
    }
    CancelAll();
  }
  ::close(wake_fd);
  wake_fd = -1;
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    workers_quit = false;
  }
  active = false;
}

// ---------------------------------------------------------------------------
// Listener thread (one per binding)

// Listener thread: a pause of kResourceBackoffMs, cut short by deactivation.
bool TIdMappedPortTCP::Impl::Backoff() {
  pollfd p{wake_fd, POLLIN, 0};
  return ::poll(&p, 1, kResourceBackoffMs) == 0;
}

// Listener thread: waits for connections (250 ms polls, ended at once by the
// wake fd) and hands each to a new worker thread. Every wake-up takes all the
// connections that are pending, so that a burst does not wait for one poll
// round per connection.
void TIdMappedPortTCP::Impl::ListenLoop(int fd) {
  // A spare descriptor, given up for a moment when the process has none left,
  // so that the pending connection can be accepted and dropped instead of
  // waking this loop again and again.
  int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool stop = false;
  while (!stop) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int r = ::poll(fds, 2, kListenPollMs);
    if (fds[1].revents) break;
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
    for (int taken = 1;; ++taken) {
      if (taken % kAcceptBatch == 0) {
        pollfd w{wake_fd, POLLIN, 0};
        if (::poll(&w, 1, 0) > 0) {
          stop = true;
          break;
        }
      }
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) break;  // none left
        if (err == EINTR || err == ECONNABORTED) continue;
        if (err == EMFILE || err == ENFILE) {
          if (spare >= 0) {
            ::close(spare);
            int d = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (d >= 0) ::close(d);
            spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
          }
          if (!Backoff()) stop = true;
        } else if (err == ENOBUFS || err == ENOMEM) {
          if (!Backoff()) stop = true;
        }
        break;  // back to the wait (other failures: the half-made connection is gone)
      }
      if (self.MaxConnections > 0 && self.ConnectionCount() >= self.MaxConnections) {
        ::close(c);
        continue;
      }
      StartWorker(c);
    }
  }
  if (spare >= 0) ::close(spare);
}

// Listener thread: hands the accepted socket to an idle worker, or to a new
// detached worker thread when none is idle.
void TIdMappedPortTCP::Impl::StartWorker(int fd) {
  TIdMappedPortContext* ctx = nullptr;
  try {
    ctx = new TIdMappedPortContext(self, fd);
  } catch (...) {
    ::close(fd);
    Backoff();
    return;
  }
  if (ctx->local_->CancelHandle() < 0) {  // no descriptor for the cancel fd
    delete ctx;
    Backoff();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(workers_mutex);
    if (!idle.empty()) {
      IdleWorker* w = idle.back();
      idle.pop_back();
      w->next = ctx;
      // Notified under the lock: once the lock is released the worker may run
      // the connection, end, and take its IdleWorker with it.
      w->cv.notify_one();
      return;
    }
    ++workers;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int r = ::pthread_create(&t, &attr, &MappedPortWorker::Main, ctx);
  pthread_attr_destroy(&attr);
  if (r != 0) {
    // No thread: drop the connection and pause.
    delete ctx;
    {
      std::lock_guard<std::mutex> lock(workers_mutex);
      --workers;
    }
    workers_cv.notify_all();
    Backoff();
  }
}

// ---------------------------------------------------------------------------
// Worker thread (one per connection)

// One connection at a time; between connections the thread waits idle for the
// next one (NextConnection), and ends when none comes in time.
void* MappedPortWorker::Main(void* arg) {
  auto* ctx = static_cast<TIdMappedPortContext*>(arg);
  TIdMappedPortTCP::Impl& im = *ctx->server_.impl_;
  while (ctx) {
    try {
      Run(*ctx);
    } catch (...) {
    }
    delete ctx;
    ctx = im.NextConnection();
  }
  return nullptr;
}

// Worker thread. Returns the next connection handed over by the listener, or
// null when the thread is to end: deactivation under way, too many idle
// workers already, or kWorkerIdleMs without a connection. Lowering `workers`
// before returning null is the thread's last touch of the server:
// deactivation may free it right after.
TIdMappedPortContext* TIdMappedPortTCP::Impl::NextConnection() {
  std::unique_lock<std::mutex> lock(workers_mutex);
  if (!workers_quit && idle.size() < kMaxIdleWorkers) {
    IdleWorker self;
    idle.push_back(&self);
    // Bounded by kWorkerIdleMs.
    self.cv.wait_for(lock, std::chrono::milliseconds(kWorkerIdleMs), [&] { return self.next || self.quit; });
    if (self.next) return self.next;
    if (!self.quit) {  // timed out: still listed
      for (auto it = idle.begin(); it != idle.end(); ++it) {
        if (*it == &self) {
          idle.erase(it);
          break;
        }
      }
    }
  }
  // Only deactivation waits, and only for the last one: one wake-up instead of
  // one per ending worker. Under the lock: once it is released the server may
  // be gone.
  if (--workers == 0) workers_cv.notify_all();
  return nullptr;
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

void MappedPortWorker::Run(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP& server = ctx.server_;
  TIdMappedPortTCP::Impl& im = *server.impl_;
  auto isCancelled = [&] {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    return ctx.cancelled_;
  };
  auto deregister = [&] {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    auto& v = im.contexts;
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (*it == &ctx) {
        v.erase(it);
        break;
      }
    }
  };

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
    if (!quiet) Report(ctx, failure);
    ctx.local_->Close();
    if (!quiet) Report(ctx, failure);
    deregister();
    return;
  }

  // Once the connection is set up, a failing relay is the ordinary end of a
  // connection (a side that went away): it ends without a report.
  try {
    Relay(ctx);
  } catch (...) {
  }
  // The relay has ended, so nothing more is forwarded: whatever is still open
  // is closed at once, and the disconnect hook sees the final byte counts
  // before the connection leaves the list.
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
  deregister();
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
// remote closes.
void MappedPortWorker::Relay(TIdMappedPortContext& ctx) {
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler* remote = ctx.outbound_->IOHandler();
  if (!remote || !remote->Connected() || !local.Connected()) return;
  bool localEof = false;
  Outcome outcome = Outcome::kStopped;
  try {
    // The copying relay hands a bulk transfer over to the zero-copy relay at
    // most once; the zero-copy relay hands back for good when a data hook is
    // set.
    bool splice = ctx.server_.ZeroCopyRelay;
    for (;;) {
      if (splice && RelaySplice(ctx, local, *remote, localEof, outcome)) break;
      outcome = RelayCopy(ctx, local, *remote, localEof, !splice && ctx.server_.ZeroCopyBulk);
      if (outcome != Outcome::kSplice) break;
      splice = true;
    }
  } catch (...) {
    outcome = Outcome::kStopped;
  }
  if (local.Cancelled() || remote->Cancelled()) outcome = Outcome::kStopped;
  switch (outcome) {
    case Outcome::kRemoteEnded:
      remote->Close();
      local.LingeringClose(kLingerQuietMs, kLingerMaxMs);
      break;
    case Outcome::kLocalGone:
      local.Close();
      remote->LingeringClose(kLingerQuietMs, kLingerMaxMs);
      break;
    case Outcome::kStopped:
    case Outcome::kSplice:
      break;  // the caller closes both sides
  }
}

namespace {

// Poll set of the relay: both sockets, both cancel fds and the server's stop
// fd (readable once deactivation has begun: one write ends every relay's wait
// at once). Waits without a time limit: bounded by the peers, by Cancel() and
// by deactivation.
struct RelayPoll {
  pollfd fds[5];
  RelayPoll(TIdIOHandler& local, TIdIOHandler& remote, int stopFd)
      : fds{{local.Handle(), POLLIN, 0},
            {remote.Handle(), POLLIN, 0},
            {local.CancelHandle(), POLLIN, 0},
            {remote.CancelHandle(), POLLIN, 0},
            {stopFd, POLLIN, 0}} {}
  // After the client's end of stream: the local socket only reports a failure
  // (a reset), which ends the relay.
  void StopReadingLocal() { fds[0].events = 0; }
  // false: cancelled or failed.
  bool Wait(int timeout, bool& localReady, bool& remoteReady) {
    for (;;) {
      int r = ::poll(fds, 5, timeout);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[2].revents || fds[3].revents || fds[4].revents) return false;
      localReady = fds[0].revents != 0;
      remoteReady = fds[1].revents != 0;
      return true;
    }
  }
};

// Waits until `fd` is writable; false when cancelled. Bounded by the peer
// reading, by Cancel() and by deactivation (`stopFd`).
bool WaitWritable(int fd, TIdIOHandler& a, TIdIOHandler& b, int stopFd) {
  pollfd fds[4] = {{fd, POLLOUT, 0}, {a.CancelHandle(), POLLIN, 0}, {b.CancelHandle(), POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    int r = ::poll(fds, 4, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents || fds[2].revents || fds[3].revents) return false;
    if (fds[0].revents) return true;
  }
}

// What one move of one direction came to.
enum class Moved { kOk, kEof, kFromGone, kToGone, kStop };

}  // namespace

// Zero-copy relay for two plain sockets without data hooks: bytes move
// socket -> pipe -> socket inside the kernel, at most one chunk at a time, and
// the pipe is empty again at the end of every move. Returns false when this
// path does not apply (or stops applying because a data hook was set), so the
// copying relay takes over.
bool MappedPortWorker::RelaySplice(TIdMappedPortContext& ctx, TIdIOHandler& local, TIdIOHandler& remote,
                                   bool& localEof, Outcome& outcome) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  if (!PlainSockets(local, remote)) return false;
  if (!local.InputBufferIsEmpty() || !remote.InputBufferIsEmpty()) return false;
  uint64_t version = im.data_hooks_version.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> lock(im.hooks_mutex);
    if (im.on_execute || im.on_outbound_data) return false;
  }
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  int moveSize = kChunkSize;
  const int granted = ::fcntl(pipefd[1], F_SETPIPE_SZ, kSplicePipeSize);
  if (granted > kChunkSize) moveSize = std::min(granted, kSplicePipeSize);
  struct PipeCloser {
    int* p;
    ~PipeCloser() {
      ::close(p[0]);
      ::close(p[1]);
    }
  } closer{pipefd};

  RelayPoll waiter(local, remote, im.wake_fd);
  if (localEof) waiter.StopReadingLocal();
  auto move = [&](TIdIOHandler& from, TIdIOHandler& to) {
    const bool toRemote = &to == &remote;
    ssize_t n = ::splice(from.Handle(), nullptr, pipefd[1], nullptr, static_cast<size_t>(moveSize),
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return Moved::kOk;
      return PeerGoneError(errno) ? Moved::kFromGone : Moved::kStop;
    }
    if (n == 0) return Moved::kEof;
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
        if (!WaitWritable(to.Handle(), local, remote, im.wake_fd)) return Moved::kStop;
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
    if (lr && localEof) {  // the client reset after its end of stream
      outcome = Outcome::kLocalGone;
      return true;
    }
    if (lr) {
      switch (move(local, remote)) {
        case Moved::kOk: break;
        case Moved::kEof:
          localEof = true;
          waiter.StopReadingLocal();
          remote.ShutdownWrite();
          break;
        case Moved::kFromGone: outcome = Outcome::kLocalGone; return true;
        case Moved::kToGone: outcome = Outcome::kRemoteEnded; return true;
        case Moved::kStop: outcome = Outcome::kStopped; return true;
      }
    }
    if (rr) {
      switch (move(remote, local)) {
        case Moved::kOk: break;
        case Moved::kEof:
          if (!localEof) remote.DoStatus(hsDisconnected);
          outcome = Outcome::kRemoteEnded;
          return true;
        case Moved::kFromGone: outcome = Outcome::kRemoteEnded; return true;
        case Moved::kToGone: outcome = Outcome::kLocalGone; return true;
        case Moved::kStop: outcome = Outcome::kStopped; return true;
      }
    }
  }
}

// The general relay: works through the handlers' virtual transport (a TLS
// handler decrypts in ReadAvailable), calls the data hooks with each chunk.
bool MappedPortWorker::PlainSockets(TIdIOHandler& local, TIdIOHandler& remote) {
  return typeid(local) == typeid(TIdIOHandlerStack) && typeid(remote) == typeid(TIdIOHandlerStack);
}

// `mayHandOver`: a read that fills kChunkSize bytes while no data hook is set
// ends this relay with kSplice once its chunk is delivered, when both sides
// are plain sockets, so that the zero-copy relay moves the rest.
MappedPortWorker::Outcome MappedPortWorker::RelayCopy(TIdMappedPortContext& ctx, TIdIOHandler& local,
                                                      TIdIOHandler& remote, bool& localEof, bool mayHandOver) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  // Reads take at most kChunkSize bytes while a data hook sees the chunks. The
  // chunk size is invisible otherwise: once a read fills the buffer (a bulk
  // transfer), a larger one of BulkReadSize bytes serves the rest of the
  // connection, which saves system calls per byte. The small buffer belongs to
  // the worker thread and serves its connections one after the other.
  thread_local std::unique_ptr<uint8_t[]> t_small;
  if (!t_small) t_small.reset(new uint8_t[kChunkSize]);
  uint8_t* const small = t_small.get();
  std::unique_ptr<uint8_t[]> big;
  const int bulkSize = ctx.server_.BulkReadSize;
  const bool handOver = mayHandOver && PlainSockets(local, remote);
  bool bulk = false;  // a read filled kChunkSize bytes
  TIdContextEvent onExecute, onOutboundData;
  uint64_t version = ~uint64_t{0};
  RelayPoll waiter(local, remote, im.wake_fd);
  if (localEof) waiter.StopReadingLocal();

  // One pass of one direction.
  auto pass = [&](TIdIOHandler& from, TIdIOHandler& to, const TIdContextEvent& hook) {
    const uint8_t* p;
    size_t len;
    if (!from.InputBufferIsEmpty()) {
      ctx.data_.swap(from.InputBuffer());
      from.InputBuffer().clear();
      p = ctx.data_.data();
      len = ctx.data_.size();
    } else {
      const bool observed = onExecute || onOutboundData;
      uint8_t* const buf = big && !observed ? big.get() : small;
      const int limit = big && !observed ? bulkSize : kChunkSize;
      int n = from.ReadAvailable(buf, limit);
      if (n == limit && !observed) {
        bulk = true;
        if (!handOver && !big && bulkSize > kChunkSize) big.reset(new (std::nothrow) uint8_t[bulkSize]);
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
    bool ok = len == 0 || to.WriteAll(p, static_cast<int>(len)) == static_cast<int>(len);
    if (ok) {
      if (&to == &remote) {
        ctx.CountToRemote(len);
      } else {
        ctx.CountToLocal(len);
      }
    }
    ctx.data_.clear();
    return ok ? Moved::kOk : Moved::kToGone;
  };

  for (;;) {
    uint64_t v = im.data_hooks_version.load(std::memory_order_acquire);
    if (v != version) {
      std::lock_guard<std::mutex> lock(im.hooks_mutex);
      onExecute = im.on_execute;
      onOutboundData = im.on_outbound_data;
      version = v;
    }
    // Bytes the transport already holds (decrypted TLS records, a filled input
    // buffer) are taken before waiting again.
    const bool lp = !localEof && (local.TransportPending() || !local.InputBufferIsEmpty());
    const bool rp = remote.TransportPending() || !remote.InputBufferIsEmpty();
    bool lr = false, rr = false;
    if (!waiter.Wait(lp || rp ? 0 : -1, lr, rr)) return Outcome::kStopped;
    if (lr && localEof) return Outcome::kLocalGone;  // the client reset after its end of stream
    lr = lr || lp;
    rr = rr || rp;
    if (lr) {
      switch (pass(local, remote, onExecute)) {
        case Moved::kOk: break;
        case Moved::kEof:
          localEof = true;
          waiter.StopReadingLocal();
          remote.ShutdownWrite();
          break;
        case Moved::kFromGone: return Outcome::kLocalGone;
        case Moved::kToGone: return Outcome::kRemoteEnded;
        case Moved::kStop: return Outcome::kStopped;
      }
    }
    if (rr) {
      switch (pass(remote, local, onOutboundData)) {
        case Moved::kOk: break;
        case Moved::kEof:
          if (!localEof) remote.DoStatus(hsDisconnected);  // only the outbound handler's hook is set
          return Outcome::kRemoteEnded;
        case Moved::kFromGone: return Outcome::kRemoteEnded;
        case Moved::kToGone: return Outcome::kLocalGone;
        case Moved::kStop: return Outcome::kStopped;
      }
    }
    if (bulk && handOver) return Outcome::kSplice;
  }
}

}  // namespace sorvik
