// The port-mapping server object: its public methods, hooks and context
// list, the connection contexts, and activation and deactivation (binding the
// listening sockets, starting the first waiting worker and the relay loops;
// stopping every thread and closing the sockets). The threads it starts are in
// mapped_port_accept.cpp (waiting, accepting), mapped_port_worker.cpp (set-up)
// and worker_relay.cpp (relay on a worker); the shared insides are in
// mapped_port_impl.h.
//
// Thread contract: SetActive, StopListening, Drained, CancelAllConnections,
// BoundPort, Active and the configuration run on the owner's thread (the UI
// thread), which also reads the context list (LockList); the hook setters and
// the counts are safe on any thread (ConnectionCount is also read by the
// accepting threads). DataHooks and RelayEnded run on relay loop threads; a
// context's Cancel() on any thread under list_mutex, its constructor on the
// accepting thread and its destructor on the thread that last owned it. The
// hooks are guarded by hooks_mutex, the context list, the cancel flags and the
// ended figures by list_mutex, the pool's counts by workers_mutex; `active`,
// the listening sockets and the descriptors of the server belong to the
// owner's thread.
#include "net/mapped_port_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "net/exceptions.h"
#include "net/mapped_port_impl.h"
#include "net/relay_loop.h"
#include "net/socket_util.h"

namespace sorvik {

namespace {

// Deactivation re-cancels stragglers at this interval while it waits.
constexpr int kDeactivatePollMs = 500;
// Deactivation cancels this many connections per hold of the context lock.
constexpr int kCancelChunk = 32;

// The bind failure: the traditional text for an address in use, otherwise the
// system's reason in the same words.
EIdCouldNotBindSocket BindFailure(int code) {
  if (code == EADDRINUSE) return EIdCouldNotBindSocket(kMsgCouldNotBind);
  return EIdCouldNotBindSocket(std::string("Could not bind socket. ") + SystemErrorText(code));
}

}  // namespace

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
  // An accepted connection counts for the server's cap until it is gone.
  if (acceptedFd >= 0) server.Access.Opened();
  counted_ = acceptedFd >= 0;
}

TIdMappedPortContext::~TIdMappedPortContext() {
  outbound_.reset();
  local_.reset();
  if (counted_) server_.Access.Closed();
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
  // Each hold goes on where the last one stopped: everything before `from`
  // was cancelled then, and only a context taken off the list since can have
  // moved an uncancelled one in front of it, so `from` steps back by as many
  // (contexts added meanwhile join at the end, cancelled). One pass in all,
  // where starting over each time made a stop of thousands quadratic, with the
  // lock held.
  size_t from = 0;
  uint64_t delistedThen = 0;
  for (bool more = true, first = true; more; first = false) {
    std::lock_guard<std::mutex> lock(list_mutex);
    cancelling = true;
    more = false;
    if (!first) {
      const uint64_t gone = delisted - delistedThen;
      from = gone >= from ? 0 : from - static_cast<size_t>(gone);
    }
    from = std::min(from, contexts.size());
    int cancelled = 0;
    for (; from < contexts.size(); ++from) {
      TIdMappedPortContext* ctx = contexts[from];
      if (ctx->cancelled_) continue;
      if (cancelled++ == kCancelChunk) {
        more = true;
        break;
      }
      ctx->CancelForStop();
    }
    delistedThen = delisted;
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

}  // namespace sorvik
