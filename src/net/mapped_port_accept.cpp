// The threads that wait for connections and accept them, the accept queue of
// the bounded set-up pool, the start of worker threads, and the reports of
// connections closed at once at a limit of the process (descriptors, threads,
// memory).
//
// Thread contract: everything here runs on worker threads of the server while
// they wait for a connection (Await, AcceptPending, NewContext, Dispatch) or
// between connections; SpawnThread also on the owner's thread at activation,
// and Refused / ReportRefusals on any worker thread (a set-up that met a
// limit). The access check (self.Access, net/access_gate.h) runs right after
// each accept; its refusals are reported by ReportAccessRefusals on the
// accepting thread, or on a waiter once its idle time ends. The pool's counts (`workers`, `waiting`, `relaying`, `queued`,
// `workers_quit`) are guarded by workers_mutex, the refusal counts by
// refusals_mutex, the spare descriptor by spare_mutex (with
// DescriptorSwapLock() held exclusively while it is given up); `accepting`
// and `refusals_pending` are atomics. The listening sockets, epoll set, wake
// fd and queue fd are read without a lock: the owner sets them only while no
// worker thread runs. OnException is called with no lock held.
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>

#include "net/exceptions.h"
#include "net/mapped_port_impl.h"
#include "net/socket_util.h"

namespace sorvik {

namespace {

// Pause after running out of descriptors, memory or threads, so that the
// accepting threads do not spin while the process is at its limits.
constexpr int kResourceBackoffMs = 50;
// A worker whose connection has ended waits this long for the next one before
// its thread ends (unless it is the last one waiting); at most kMaxWaiting wait
// at a time. Creating a thread is the largest single cost of a new connection.
constexpr int kWorkerIdleMs = 2000;
constexpr int kMaxWaiting = 129;
// The accepting thread looks at the wake fd after this many accepts in one go.
constexpr int kAcceptBatch = 64;
// Connections closed at once at a limit are reported at most this often.
constexpr auto kRefusalReportInterval = std::chrono::seconds(1);

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

}  // namespace

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
    if (self.Access.ReportPending()) ReportAccessRefusals();
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
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    {
      std::shared_lock<std::shared_mutex> room(DescriptorSwapLock());
      c = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
    // Who may connect, before anything else happens to the connection: a
    // refused one is reset at once (no byte, no hook, no time-wait state left
    // here by a flood) and counted for the next report. The open count holds
    // every connection taken up so far, `mine` and the queued ones included.
    const auto* from = reinterpret_cast<const sockaddr*>(&peer);
    const TAccessGate::TVerdict verdict = self.Access.Judge(from, self.Access.OpenCount(), self.MaxConnections);
    if (verdict != TAccessGate::TVerdict::Allowed) {
      const linger reset{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      ::close(c);
      if (self.Access.Refused(verdict, from)) ReportAccessRefusals();
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

void TIdMappedPortTCP::Impl::ReportAccessRefusals() {
  std::optional<std::string> line = self.Access.TakeReport(std::chrono::steady_clock::now());
  if (!line) return;
  TIdContextExceptionEvent hook = Copy(on_exception);
  if (!hook) return;
  try {
    // As for the refusals at a limit: a context without a socket stands for them.
    TIdMappedPortContext refused(self, -1);
    hook(refused, EIdException(*line));
  } catch (...) {
  }
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

}  // namespace sorvik
