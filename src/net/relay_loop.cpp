#include "net/relay_loop.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_set>

#include "net/socket_util.h"
#include "net/thread_wake.h"
#include "net/thread_name.h"

namespace sorvik {

std::atomic<int>& SplicePipeCount() {
  static std::atomic<int> count{0};
  return count;
}

// The loops' access to a context's insides (its handlers, its chunk, its counts).
struct TRelayLoopAccess {
  static TIdIOHandler& Local(TIdMappedPortContext& c) { return *c.local_; }
  static TIdIOHandler* Remote(TIdMappedPortContext& c) { return c.outbound_ ? c.outbound_->IOHandler() : nullptr; }
  static std::vector<uint8_t>& Data(TIdMappedPortContext& c) { return c.data_; }
  static void CountToRemote(TIdMappedPortContext& c, size_t n) { c.CountToRemote(n); }
  static void CountToLocal(TIdMappedPortContext& c, size_t n) { c.CountToLocal(n); }
};

namespace {

using Clock = std::chrono::steady_clock;
using Access = TRelayLoopAccess;

constexpr int kChunkSize = TIdIOHandler::kRecvBufferSize;
constexpr int kSplicePipeSize = 1024 * 1024;
constexpr int kMinSplicePipe = 64 * 1024;
constexpr int kLingerQuietMs = 2000;
constexpr int kTakeLookMs = 250;
// Idle pipes a loop keeps for the next bulk move, and for how long.
constexpr size_t kIdlePipes = 2;
constexpr auto kIdlePipeTime = std::chrono::seconds(2);
constexpr int kEvents = 256;
constexpr int kLingerReadsPerTurn = 8;
constexpr uint32_t kFailed = EPOLLERR | EPOLLHUP;
// Tries of the hand-over lock before the loop sleeps on it (see TakeIncoming).
constexpr int kHandOverSpins = 200;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// A failure of the relay that is not a peer that has gone: the connection
// ends as stopped (both sides closed at once), without a report.
struct RelayFailed {};

// One splice pipe and the bytes it holds.
struct Pipe {
  int fd[2] = {-1, -1};
  int size = 0;  // granted capacity
  Clock::time_point idleSince;
};

void ClosePipe(Pipe& p) {
  if (p.fd[0] >= 0) ::close(p.fd[0]);
  if (p.fd[1] >= 0) ::close(p.fd[1]);
  p.fd[0] = p.fd[1] = -1;
  SplicePipeCount().fetch_sub(1, std::memory_order_relaxed);
}

enum class Moved { kOk, kEof, kFromGone, kToGone };
enum class Outcome { kNone, kRemoteEnded, kLocalGone, kRemoteStalled, kStopped };

struct Conn;
struct Tag {
  Conn* conn;
  bool remote;
};

// The bytes of one direction that were read and that the other side has not
// taken yet: in a buffer, or in a pipe.
struct InFlight {
  std::vector<uint8_t> bytes;
  size_t done = 0;
  Pipe pipe;          // fd[0] >= 0: attached to this direction
  size_t inPipe = 0;  // bytes in the pipe
  bool Empty() const { return done >= bytes.size() && inPipe == 0; }
  void ClearBytes() {
    std::vector<uint8_t>().swap(bytes);
    done = 0;
  }
};

struct Conn {
  TIdMappedPortContext* ctx;
  TIdIOHandler* local;
  TIdIOHandler* remote;
  int lfd, rfd;
  Tag ltag{this, false}, rtag{this, true};
  // The epoll registration of each side: in the set, with this mask.
  bool lreg = false, rreg = false;
  uint32_t lmask = 0, rmask = 0;
  InFlight toRemote, toLocal;
  bool localEof = false;      // the client's end of stream has been read
  bool localFailed = false;   // the client reset (or its socket failed)
  bool localEnding = false;   // the client has ended or gone: the stall bound runs
  bool shutdownDue = false;   // the client's end goes on to the remote once nothing is held
  bool remoteEnded = false;   // the remote ended or failed
  bool bulk = false;          // a read filled a chunk
  bool unpaced = false;       // UnpaceLoopback() done
  Clock::time_point stallFrom;
  int64_t owed = 0;           // bytes the remote's socket held unacknowledged at the last look
  // Lingering close of one side, after the relay.
  TIdIOHandler* linger = nullptr;
  Clock::time_point lingerEnd, quietEnd;
  bool timed = false;
  Clock::time_point deadline;
  bool dead = false;
  Conn(TIdMappedPortContext* c, TIdIOHandler* l, TIdIOHandler* r)
      : ctx(c), local(l), remote(r), lfd(l->Handle()), rfd(r->Handle()), stallFrom(Clock::now()) {}
};

int64_t Unacked(int fd) {
  int queued = 0;
  return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? int64_t{queued} : int64_t{0};
}

// Set-up worker, before the hand-over: moves the bytes that wait on one side
// to the other without waiting. Only as many as the socket holds are read
// (SIOCINQ), so an end of stream or a reset is left for the loop to see. true:
// some were not taken and are held in the record.
bool Forward(Conn& c, bool toRemote) {
  constexpr size_t kForwardSize = 8 * 1024;
  const int from = toRemote ? c.lfd : c.rfd;
  const int to = toRemote ? c.rfd : c.lfd;
  int avail = 0;
  if (::ioctl(from, SIOCINQ, &avail) != 0 || avail <= 0) return false;
  uint8_t buf[kForwardSize];
  ssize_t n;
  do {
    n = ::recv(from, buf, std::min(sizeof buf, static_cast<size_t>(avail)), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  size_t taken = 0;
  while (taken < static_cast<size_t>(n)) {
    const ssize_t r = ::send(to, buf + taken, static_cast<size_t>(n) - taken, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      taken += static_cast<size_t>(r);
      if (toRemote) {
        Access::CountToRemote(*c.ctx, static_cast<size_t>(r));
      } else {
        Access::CountToLocal(*c.ctx, static_cast<size_t>(r));
      }
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    break;  // no room, or the side has gone: the loop offers the rest and learns which
  }
  if (taken == static_cast<size_t>(n)) return false;
  InFlight& held = toRemote ? c.toRemote : c.toLocal;
  held.bytes.assign(buf + taken, buf + n);
  held.done = 0;
  return true;
}

}  // namespace

struct TRelayLoops::Loop {
  Loop(TRelayLoopOwner& o, const TRelayLoopConfig& c) : owner(o), cfg(c) {}
  ~Loop() {
    if (epfd >= 0) ::close(epfd);
    if (evfd >= 0) ::close(evfd);
  }
  TRelayLoopOwner& owner;
  const TRelayLoopConfig cfg;
  int epfd = -1;
  int evfd = -1;
  std::thread thread;
  // Set by the owner once the thread runs, cleared before it is told to quit:
  // Adopt() and Sweep() look only at running loops.
  std::atomic<bool> running{false};

  std::mutex mutex;
  // Handed over, sockets already in the set, not yet taken by the loop.
  std::vector<Conn*> incoming;  // guarded by mutex
  bool quit = false;                            // guarded by mutex
  std::atomic<bool> sweep{false};
  std::atomic<size_t> count{0};  // connections this loop holds or is handed

  // ---- loop thread only ----
  std::unordered_set<Conn*> conns;
  std::unordered_set<Conn*> timedConns;
  std::vector<Conn*> dead;
  std::vector<Conn*> taken;  // the hand-overs being added (TakeIncoming)
  std::vector<Pipe> pipes;  // idle pipes
  std::unique_ptr<uint8_t[]> buf;
  int bufSize = 0;
  bool stopping = false;
  uint64_t hookVersion = ~uint64_t{0};
  TIdContextEvent onExecute, onOutboundData;
  char evTag = 0, stopTag = 0;

  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(evfd, &one, sizeof one);
  }
  void Run();
  void TakeIncoming();
  void Add(Conn* c);
  void Event(Conn* c, bool remoteSide, uint32_t ev);
  void Step(Conn* c, uint32_t lrev, uint32_t rrev);
  Outcome Process(Conn* c, uint32_t lrev, uint32_t rrev);
  Outcome Settle(Conn* c);
  Moved Pass(Conn* c, bool toRemote);
  bool Offer(Conn* c, bool toRemote, const uint8_t* p, size_t len, size_t& taken);
  bool Flush(Conn* c, bool toRemote);
  bool FlushPipe(Conn* c, bool toRemote);
  void ClientEnds(Conn* c);
  bool ClientGone(Conn* c);
  void RemoteGone(Conn* c);
  void End(Conn* c, Outcome outcome);
  void LingerStep(Conn* c);
  void Finish(Conn* c);
  void Register(Conn* c, bool remoteSide, bool want, uint32_t mask);
  void SetDeadline(Conn* c, bool on, Clock::time_point when = {});
  int NextTimeout();
  bool TakePipe(Pipe& p);
  void GivePipe(Pipe& p);
  void Hooks() { owner.DataHooks(hookVersion, onExecute, onOutboundData); }
  bool Observed() const { return static_cast<bool>(onExecute) || static_cast<bool>(onOutboundData); }
};

// ---------------------------------------------------------------------------
// Owner's side

TRelayLoops::TRelayLoops(TRelayLoopOwner& owner, const TRelayLoopConfig& config, int count) {
  if (count <= 0) count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < count; ++i) loops_.push_back(std::make_unique<Loop>(owner, config));
}

TRelayLoops::~TRelayLoops() { Quit(); }

int TRelayLoops::Start() {
  for (auto& l : loops_) {
    l->epfd = ::epoll_create1(EPOLL_CLOEXEC);
    l->evfd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int err = 0;
    if (l->epfd < 0 || l->evfd < 0) err = errno;
    if (!err) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = &l->evTag;
      if (::epoll_ctl(l->epfd, EPOLL_CTL_ADD, l->evfd, &ev) != 0) err = errno;
      ev.data.ptr = &l->stopTag;
      if (!err && l->cfg.stopFd >= 0 && ::epoll_ctl(l->epfd, EPOLL_CTL_ADD, l->cfg.stopFd, &ev) != 0) err = errno;
    }
    if (!err) {
      try {
        Loop* loop = l.get();
        l->thread = std::thread([loop] { loop->Run(); });
        l->running.store(true);
      } catch (const std::system_error& e) {
        err = e.code().value() ? e.code().value() : EAGAIN;
      }
    }
    if (err) {
      Quit();
      loops_.clear();
      return err;
    }
  }
  return 0;
}

bool TRelayLoops::Adopt(TIdMappedPortContext* ctx) {
  Loop* best = nullptr;
  for (auto& l : loops_) {
    if (!l->running.load()) continue;
    if (!best || l->count.load(std::memory_order_relaxed) < best->count.load(std::memory_order_relaxed)) best = l.get();
  }
  if (!best) return false;
  TIdIOHandler& local = Access::Local(*ctx);
  TIdIOHandler* remote = Access::Remote(*ctx);
  if (!remote) return false;
  std::unique_ptr<Conn> c(new (std::nothrow) Conn(ctx, &local, remote));
  if (!c) return false;
  // What already waits goes across on this thread, so that a connection's
  // first request (or a server's greeting) does not wait for the loop to be
  // woken; what the other side does not take at once is held for the loop.
  // (Not when every byte is to be spliced: the loop moves them.)
  bool held = false;
  if (!best->cfg.zeroCopyRelay) {
    try {
      held = Forward(*c, true);
      if (Forward(*c, false)) held = true;
    } catch (...) {
      return false;
    }
  }
  bool cancelled = false;
  bool localOutside = false;  // the client's socket could not join the set
  {
    // Both sockets join the loop's set here, as the loop's first step would
    // register them (read interest both ways, nothing held): the loop learns
    // of the connection with its first event instead of a wake of its own.
    // The record is published under the same lock, and the loop takes what
    // was handed over before it looks at the events of a turn.
    std::lock_guard<std::mutex> lock(best->mutex);
    if (best->quit) return false;
    // Room first, so that the publication below cannot fail once a socket
    // is in the set (doubling: a burst of hand-overs copies the list rarely).
    std::vector<Conn*>& in = best->incoming;
    try {
      if (in.size() == in.capacity()) in.reserve(std::max<size_t>(16, in.capacity() * 2));
    } catch (...) {
      return false;
    }
    // The remote joins first: the client's side is the one most often ready
    // at once (its next request, or its end after a reply forwarded above),
    // and the loop it wakes then finds the lock about to be free.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &c->rtag;
    if (::epoll_ctl(best->epfd, EPOLL_CTL_ADD, c->rfd, &ev) != 0) return false;
    c->rreg = true;
    c->rmask = EPOLLIN;
    // From here the loop may hold an event that names this record: it is the
    // loop's to release, whatever happens. A client's socket that cannot join
    // is registered by the loop's first step, which ends the connection if
    // that fails too.
    ev.data.ptr = &c->ltag;
    if (::epoll_ctl(best->epfd, EPOLL_CTL_ADD, c->lfd, &ev) == 0) {
      c->lreg = true;
      c->lmask = EPOLLIN;
    }
    Conn* const handed = c.release();
    in.push_back(handed);
    best->count.fetch_add(1, std::memory_order_relaxed);
    // A connection cancelled before it was published saw its Sweep() find
    // nothing: the loop is told. A cancel from here on sweeps again. (Looked
    // at under the lock: once it is given up, the loop may end the
    // connection and release the context at any time.)
    cancelled = local.Cancelled() || remote->Cancelled();
    localOutside = !handed->lreg;
  }
  // Held bytes need the loop's interest in the other side's room; a client's
  // socket outside the set, the loop's first step.
  if (cancelled || held || localOutside) best->Wake();
  return true;
}

void TRelayLoops::Sweep() {
  for (auto& l : loops_) {
    if (!l->running.load()) continue;
    if (!l->sweep.exchange(true)) l->Wake();
  }
}

void TRelayLoops::Quit() {
  for (auto& l : loops_) {
    if (!l->thread.joinable()) continue;
    l->running.store(false);
    {
      std::lock_guard<std::mutex> lock(l->mutex);
      l->quit = true;
    }
    l->Wake();
  }
  for (auto& l : loops_) {
    if (l->thread.joinable()) l->thread.join();
  }
}

size_t TRelayLoops::Held() const {
  size_t n = 0;
  for (const auto& l : loops_) n += l->count.load(std::memory_order_relaxed);
  return n;
}

// ---------------------------------------------------------------------------
// Loop thread

void TRelayLoops::Loop::Run() {
  // The handlers' waits are never used here, but a Cancel() of a handler
  // could still signal this thread if one registered: keep the signal blocked.
  BlockWakeSignalForThread();
  NameThisThread("relay loop");
  bufSize = std::max(cfg.bulkReadSize, kChunkSize);
  // One buffer per loop serves the copying moves of all its connections
  // (a connection holds bytes of its own only while the other side waits).
  buf.reset(new uint8_t[static_cast<size_t>(bufSize)]);
  epoll_event events[kEvents];
  for (;;) {
    const int n = ::epoll_wait(epfd, events, kEvents, NextTimeout());
    if (n < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // An event may be the first news of a connection handed over meanwhile.
    TakeIncoming();
    bool quitNow = false;
    for (int i = 0; i < n; ++i) {
      void* p = events[i].data.ptr;
      if (p == &evTag) {
        uint64_t v;
        [[maybe_unused]] ssize_t r = ::read(evfd, &v, sizeof v);
        std::lock_guard<std::mutex> lock(mutex);
        quitNow = quit;
        continue;
      }
      if (p == &stopTag) {
        // Deactivation: every connection ends at once; the stop fd stays
        // readable, so it leaves the set.
        stopping = true;
        ::epoll_ctl(epfd, EPOLL_CTL_DEL, cfg.stopFd, nullptr);
        continue;
      }
      auto* tag = static_cast<Tag*>(p);
      if (tag->conn->dead) continue;
      Event(tag->conn, tag->remote, events[i].events);
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      quitNow = quitNow || quit;
    }
    if (quitNow) stopping = true;
    TakeIncoming();
    const bool swept = sweep.exchange(false);
    if (stopping || swept) {
      std::vector<Conn*> all;
      all.reserve(conns.size());
      for (Conn* c : conns) {
        if (!c->dead) all.push_back(c);
      }
      // Newest first: the server's list holds its connections in the order
      // they came and looks for an ending one from its end, so a stop of
      // thousands finds each near there instead of anywhere in the list.
      std::sort(all.begin(), all.end(), [](const Conn* a, const Conn* b) { return a->ctx->Id() > b->ctx->Id(); });
      for (Conn* c : all) {
        if (c->dead) continue;
        if (stopping || c->local->Cancelled() || c->remote->Cancelled()) {
          if (c->linger) {
            c->linger->Close();
            Finish(c);
          } else {
            End(c, Outcome::kStopped);
          }
        }
      }
    }
    if (!timedConns.empty() || !pipes.empty()) {
      const auto now = Clock::now();
      std::vector<Conn*> due;
      for (Conn* c : timedConns) {
        if (c->deadline <= now) due.push_back(c);
      }
      for (Conn* c : due) {
        if (c->dead) continue;
        if (c->linger) {
          LingerStep(c);
        } else {
          Step(c, 0, 0);
        }
      }
      while (!pipes.empty() && now - pipes.front().idleSince >= kIdlePipeTime) {
        ClosePipe(pipes.front());
        pipes.erase(pipes.begin());
      }
    }
    for (Conn* c : dead) delete c;
    dead.clear();
    if (quitNow && conns.empty()) {
      std::lock_guard<std::mutex> lock(mutex);
      if (incoming.empty()) break;
    }
  }
  for (Pipe& p : pipes) ClosePipe(p);
  pipes.clear();
}

int TRelayLoops::Loop::NextTimeout() {
  if (stopping) return 0;
  Clock::time_point next = Clock::time_point::max();
  for (Conn* c : timedConns) next = std::min(next, c->deadline);
  if (!pipes.empty()) next = std::min(next, pipes.front().idleSince + kIdlePipeTime);
  if (next == Clock::time_point::max()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

void TRelayLoops::Loop::TakeIncoming() {
  {
    // A worker holds the lock only for the two registrations of a hand-over,
    // whose first event is often what woke this thread: a short spin spares
    // the loop a sleep and a wake-up for it.
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    for (int spins = 0; !lock.owns_lock() && spins < kHandOverSpins; ++spins) {
      CpuRelax();
      lock.try_lock();
    }
    if (!lock.owns_lock()) lock.lock();
    if (incoming.empty()) return;
    // The two lists trade places, each keeping its room for the next time.
    taken.swap(incoming);
  }
  for (Conn* c : taken) Add(c);
  taken.clear();
}

void TRelayLoops::Loop::Add(Conn* c) {
  conns.insert(c);
  if (stopping || c->local->Cancelled() || c->remote->Cancelled() || !c->local->Connected() ||
      !c->remote->Connected()) {
    End(c, Outcome::kStopped);
    return;
  }
  Step(c, 0, 0);
}

void TRelayLoops::Loop::Register(Conn* c, bool remoteSide, bool want, uint32_t mask) {
  bool& reg = remoteSide ? c->rreg : c->lreg;
  uint32_t& cur = remoteSide ? c->rmask : c->lmask;
  const int fd = remoteSide ? c->rfd : c->lfd;
  if (!want) {
    if (reg) ::epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
    reg = false;
    return;
  }
  if (reg && cur == mask) return;
  epoll_event ev{};
  ev.events = mask;
  ev.data.ptr = remoteSide ? &c->rtag : &c->ltag;
  if (::epoll_ctl(epfd, reg ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) throw RelayFailed{};
  reg = true;
  cur = mask;
}

void TRelayLoops::Loop::SetDeadline(Conn* c, bool on, Clock::time_point when) {
  if (on) {
    c->deadline = when;
    if (!c->timed) timedConns.insert(c);
    c->timed = true;
  } else if (c->timed) {
    timedConns.erase(c);
    c->timed = false;
  }
}

bool TRelayLoops::Loop::TakePipe(Pipe& p) {
  if (!pipes.empty()) {
    p = pipes.back();
    pipes.pop_back();
    return true;
  }
  if (SplicePipeCount().fetch_add(1, std::memory_order_relaxed) >= TIdMappedPortTCP::kMaxSplicePipes) {
    SplicePipeCount().fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  {
    std::shared_lock<std::shared_mutex> room(DescriptorSwapLock());
    if (::pipe2(p.fd, O_CLOEXEC | O_NONBLOCK) != 0) {
      p.fd[0] = p.fd[1] = -1;
      SplicePipeCount().fetch_sub(1, std::memory_order_relaxed);
      return false;
    }
  }
  int granted = ::fcntl(p.fd[1], F_SETPIPE_SZ, kSplicePipeSize);
  if (granted < 0) granted = ::fcntl(p.fd[1], F_GETPIPE_SZ);
  if (granted < kMinSplicePipe) {
    ClosePipe(p);
    return false;
  }
  p.size = std::min(granted, kSplicePipeSize);
  return true;
}

// An empty pipe goes back to the pool (or is closed when the pool is full).
void TRelayLoops::Loop::GivePipe(Pipe& p) {
  if (p.fd[0] < 0) return;
  if (pipes.size() < kIdlePipes && !stopping) {
    p.idleSince = Clock::now();
    pipes.push_back(p);
  } else {
    ClosePipe(p);
  }
  p.fd[0] = p.fd[1] = -1;
}

void TRelayLoops::Loop::Event(Conn* c, bool remoteSide, uint32_t ev) {
  if (c->linger) {
    LingerStep(c);
    return;
  }
  Step(c, remoteSide ? 0 : ev, remoteSide ? ev : 0);
}

void TRelayLoops::Loop::Step(Conn* c, uint32_t lrev, uint32_t rrev) {
  Outcome outcome;
  try {
    outcome = Process(c, lrev, rrev);
    if (outcome == Outcome::kNone) outcome = Settle(c);
  } catch (...) {
    outcome = Outcome::kStopped;
  }
  if (outcome != Outcome::kNone) End(c, outcome);
}

// Offers `len` bytes at `p` without waiting and counts what is taken. false:
// the other side is gone.
bool TRelayLoops::Loop::Offer(Conn* c, bool toRemote, const uint8_t* p, size_t len, size_t& taken) {
  const int fd = toRemote ? c->rfd : c->lfd;
  taken = 0;
  while (taken < len) {
    const ssize_t r = ::send(fd, p + taken, len - taken, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      taken += static_cast<size_t>(r);
      if (toRemote) {
        Access::CountToRemote(*c->ctx, static_cast<size_t>(r));
        c->stallFrom = Clock::now();
        if (c->localEnding) c->owed = Unacked(c->rfd);
      } else {
        Access::CountToLocal(*c->ctx, static_cast<size_t>(r));
      }
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (r == 0 || PeerGoneError(errno)) return false;
    throw RelayFailed{};
  }
  return true;
}

bool TRelayLoops::Loop::FlushPipe(Conn* c, bool toRemote) {
  InFlight& h = toRemote ? c->toRemote : c->toLocal;
  const int fd = toRemote ? c->rfd : c->lfd;
  while (h.inPipe > 0) {
    const ssize_t m = ::splice(h.pipe.fd[0], nullptr, fd, nullptr, h.inPipe, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (m > 0) {
      h.inPipe -= static_cast<size_t>(m);
      if (toRemote) {
        Access::CountToRemote(*c->ctx, static_cast<size_t>(m));
        c->stallFrom = Clock::now();
        if (c->localEnding) c->owed = Unacked(c->rfd);
      } else {
        Access::CountToLocal(*c->ctx, static_cast<size_t>(m));
      }
      continue;
    }
    if (m < 0 && errno == EINTR) continue;
    if (m < 0 && errno == EAGAIN) return true;
    if (m == 0 || PeerGoneError(errno)) return false;
    throw RelayFailed{};
  }
  GivePipe(h.pipe);
  return true;
}

bool TRelayLoops::Loop::Flush(Conn* c, bool toRemote) {
  InFlight& h = toRemote ? c->toRemote : c->toLocal;
  if (h.inPipe > 0) return FlushPipe(c, toRemote);
  size_t taken = 0;
  const bool ok = Offer(c, toRemote, h.bytes.data() + h.done, h.bytes.size() - h.done, taken);
  h.done += taken;
  if (h.done >= h.bytes.size()) h.ClearBytes();
  return ok;
}

// One move of one direction: read (into the loop's buffer, or a pipe), shown
// to the data hook, offered; what the other side does not take is held.
Moved TRelayLoops::Loop::Pass(Conn* c, bool toRemote) {
  const int from = toRemote ? c->lfd : c->rfd;
  InFlight& held = toRemote ? c->toRemote : c->toLocal;
  const TIdContextEvent& hook = toRemote ? onExecute : onOutboundData;
  const bool observed = Observed();
  // The zero-copy path: a bulk transfer (or every move, ZeroCopyRelay) of a
  // connection whose chunks no hook sees, while the loop has a pipe for it.
  if (!observed && (cfg.zeroCopyRelay || (c->bulk && cfg.zeroCopyBulk)) && TakePipe(held.pipe)) {
    const ssize_t n = ::splice(from, nullptr, held.pipe.fd[1], nullptr, static_cast<size_t>(held.pipe.size),
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n <= 0) {
      const int err = errno;
      GivePipe(held.pipe);
      if (n == 0) return Moved::kEof;
      if (err == EAGAIN || err == EINTR) return Moved::kOk;
      if (PeerGoneError(err)) return Moved::kFromGone;
      throw RelayFailed{};
    }
    if (n >= kChunkSize && !c->unpaced) {
      c->unpaced = true;
      UnpaceLoopback(c->lfd);
      UnpaceLoopback(c->rfd);
    }
    held.inPipe = static_cast<size_t>(n);
    return FlushPipe(c, toRemote) ? Moved::kOk : Moved::kToGone;
  }
  const int limit = observed || !c->bulk ? kChunkSize : bufSize;
  ssize_t n;
  do {
    n = ::recv(from, buf.get(), static_cast<size_t>(limit), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Moved::kOk;
    if (PeerGoneError(errno)) return Moved::kFromGone;
    throw RelayFailed{};
  }
  if (n == 0) return Moved::kEof;
  if (n >= kChunkSize && !observed) {
    c->bulk = true;
    if (!c->unpaced) {
      c->unpaced = true;
      UnpaceLoopback(c->lfd);
      UnpaceLoopback(c->rfd);
    }
  }
  const uint8_t* p = buf.get();
  size_t len = static_cast<size_t>(n);
  std::vector<uint8_t>& data = Access::Data(*c->ctx);
  if (hook) {
    data.assign(p, p + len);
    hook(*c->ctx);
    p = data.data();
    len = data.size();
  }
  size_t taken = 0;
  const bool ok = len == 0 || Offer(c, toRemote, p, len, taken);
  if (ok && taken < len) {
    held.bytes.assign(p + taken, p + len);
    held.done = 0;
  }
  if (hook) std::vector<uint8_t>().swap(data);
  return ok ? Moved::kOk : Moved::kToGone;
}

void TRelayLoops::Loop::ClientEnds(Conn* c) {
  if (c->localEnding) return;
  c->localEnding = true;
  c->stallFrom = Clock::now();
  c->owed = Unacked(c->rfd);
}

// The client has gone: what is on its way to the remote still goes (bounded),
// nothing more goes to the client. true: the relay ends.
bool TRelayLoops::Loop::ClientGone(Conn* c) {
  ClientEnds(c);
  c->localFailed = true;
  c->toLocal.ClearBytes();
  if (c->toLocal.inPipe > 0) {
    ClosePipe(c->toLocal.pipe);
    c->toLocal.inPipe = 0;
  }
  c->owed = Unacked(c->rfd);
  return c->toRemote.Empty() && c->owed == 0;
}

void TRelayLoops::Loop::RemoteGone(Conn* c) {
  c->remoteEnded = true;
  c->toRemote.ClearBytes();
  if (c->toRemote.inPipe > 0) {
    ClosePipe(c->toRemote.pipe);
    c->toRemote.inPipe = 0;
  }
  c->shutdownDue = false;
}

// What one readiness report of the sockets leads to (the body of the
// worker's copying relay after its wait).
Outcome TRelayLoops::Loop::Process(Conn* c, uint32_t lrev, uint32_t rrev) {
  Hooks();
  const bool readLocal = !c->localEof && !c->localFailed && !c->remoteEnded && c->toRemote.Empty();
  const bool readRemote = !c->remoteEnded && c->toLocal.Empty();
  // Writes first: what is held goes out as soon as its side takes it.
  if (!c->toLocal.Empty() && lrev) {
    if (!Flush(c, false) && ClientGone(c)) return Outcome::kLocalGone;
  }
  if (!c->toRemote.Empty() && rrev) {
    if (!Flush(c, true)) RemoteGone(c);
  }
  // A side that is not read tells its end or failure by itself.
  if (!readLocal && !c->localFailed && lrev) {
    if (lrev & kFailed) {
      if (ClientGone(c)) return Outcome::kLocalGone;
    } else if (lrev & EPOLLRDHUP) {
      ClientEnds(c);
    }
  }
  if (!readRemote && !c->remoteEnded && (rrev & kFailed) && c->toRemote.Empty()) RemoteGone(c);

  if (readLocal && lrev) {
    switch (Pass(c, true)) {
      case Moved::kOk: break;
      case Moved::kEof:
        c->localEof = true;
        ClientEnds(c);
        c->shutdownDue = true;
        break;
      case Moved::kFromGone:
        if (ClientGone(c)) return Outcome::kLocalGone;
        break;
      case Moved::kToGone: RemoteGone(c); break;
    }
  }
  if (readRemote && !c->remoteEnded && rrev) {
    switch (Pass(c, false)) {
      case Moved::kOk: break;
      case Moved::kEof:
        if (!c->localEof) c->remote->DoStatus(hsDisconnected);
        RemoteGone(c);
        break;
      case Moved::kFromGone: RemoteGone(c); break;
      case Moved::kToGone:
        if (ClientGone(c)) return Outcome::kLocalGone;
        break;
    }
  }
  return Outcome::kNone;
}

// The checks at the top of the worker's relay, then the interest of each
// socket and the connection's deadline for its next wait.
Outcome TRelayLoops::Loop::Settle(Conn* c) {
  if (c->local->Cancelled() || c->remote->Cancelled()) return Outcome::kStopped;
  if (c->remoteEnded && c->toLocal.Empty()) return Outcome::kRemoteEnded;
  if (c->localEnding && c->owed > 0 && c->toRemote.Empty()) {
    const int64_t left = Unacked(c->rfd);
    if (left < c->owed) c->stallFrom = Clock::now();
    c->owed = left;
  }
  if (c->localFailed && c->toRemote.Empty() && c->owed == 0) return Outcome::kLocalGone;
  if (c->shutdownDue && c->toRemote.Empty()) {
    c->shutdownDue = false;
    c->remote->ShutdownWrite();
  }
  const bool readLocal = !c->localEof && !c->localFailed && !c->remoteEnded && c->toRemote.Empty();
  const bool readRemote = !c->remoteEnded && c->toLocal.Empty();
  const bool stallBound = c->localEnding && !c->remoteEnded && (!c->toRemote.Empty() || c->owed > 0);
  if (stallBound) {
    const auto now = Clock::now();
    const auto bound = c->stallFrom + std::chrono::milliseconds(cfg.lingerMs);
    if (bound <= now) return Outcome::kRemoteStalled;
    // The remote's acknowledgements wake nobody: looked at now and then.
    SetDeadline(c, true, c->toRemote.Empty() ? std::min(bound, now + std::chrono::milliseconds(kTakeLookMs)) : bound);
  } else {
    SetDeadline(c, false);
  }
  uint32_t le = 0, re = 0;
  if (readLocal) le |= EPOLLIN;
  if (!c->toLocal.Empty()) le |= EPOLLOUT;
  if (!c->localEnding && !c->toRemote.Empty()) le |= EPOLLRDHUP;
  if (readRemote) re |= EPOLLIN;
  if (!c->toRemote.Empty()) re |= EPOLLOUT;
  Register(c, false, !c->localFailed, le);
  Register(c, true, !c->remoteEnded, re);
  return Outcome::kNone;
}

// How a relay ends (as the worker's relay ends): the remote ended (the client
// gets a lingering close), the client gone (the remote gets one), the remote
// stalled (both closed, the remote with a reset), or stopped (both closed).
void TRelayLoops::Loop::End(Conn* c, Outcome outcome) {
  if (c->local->Cancelled() || c->remote->Cancelled()) outcome = Outcome::kStopped;
  if (outcome == Outcome::kStopped) {
    // Both sockets are closed before this turn ends (RelayEnded, or the
    // context's release within it), which takes them out of the set; events
    // already read for them in this turn find the record dead. Spares a stop
    // two calls per connection.
    c->lreg = c->rreg = false;
  } else {
    Register(c, false, false, 0);
    Register(c, true, false, 0);
  }
  SetDeadline(c, false);
  for (InFlight* h : {&c->toRemote, &c->toLocal}) {
    h->ClearBytes();
    if (h->pipe.fd[0] >= 0) {
      if (h->inPipe > 0) {
        ClosePipe(h->pipe);
      } else {
        GivePipe(h->pipe);
      }
      h->inPipe = 0;
    }
  }
  TIdIOHandler* lingering = nullptr;
  switch (outcome) {
    case Outcome::kRemoteEnded:
      c->remote->Close();
      // A client whose end of stream was read has nothing more to send: its
      // lingering close would end at its first read, so it is closed now.
      if (c->localEof) {
        c->local->Close();
      } else {
        lingering = c->local;
      }
      break;
    case Outcome::kLocalGone:
      c->local->Close();
      lingering = c->remote;
      break;
    case Outcome::kRemoteStalled: {
      // What the remote never took is dropped either way: a reset tells it at
      // once.
      c->local->Close();
      const linger abort{1, 0};
      ::setsockopt(c->rfd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      c->remote->Close();
      break;
    }
    case Outcome::kNone:
    case Outcome::kStopped: break;
  }
  if (lingering && !stopping && lingering->Connected()) {
    // Lingering close: the side's sending direction ends (what was forwarded
    // to it is delivered) and what its peer still sends is discarded until
    // it closes, stays quiet for kLingerQuietMs, or lingerMs pass.
    c->linger = lingering;
    lingering->ShutdownWrite();
    const auto now = Clock::now();
    c->lingerEnd = now + std::chrono::milliseconds(cfg.lingerMs);
    c->quietEnd = now + std::chrono::milliseconds(kLingerQuietMs);
    const bool remoteSide = lingering == c->remote;
    try {
      Register(c, remoteSide, true, EPOLLIN);
    } catch (...) {
      lingering->Close();
      Finish(c);
      return;
    }
    SetDeadline(c, true, std::min(c->lingerEnd, c->quietEnd));
    LingerStep(c);
    return;
  }
  if (lingering) lingering->Close();
  Finish(c);
}

void TRelayLoops::Loop::LingerStep(Conn* c) {
  TIdIOHandler* h = c->linger;
  const int fd = h->Handle();
  bool done = h->Cancelled() || fd < 0;
  // A few reads per turn: a peer that never stops sending must not hold the
  // loop (the socket stays readable, so the loop comes back to it).
  for (int reads = 0; !done; ++reads) {
    if (reads == kLingerReadsPerTurn) {
      SetDeadline(c, true, std::min(c->lingerEnd, c->quietEnd));
      return;
    }
    const ssize_t r = ::recv(fd, buf.get(), static_cast<size_t>(bufSize), MSG_DONTWAIT);
    const auto now = Clock::now();
    if (r > 0) {
      c->quietEnd = now + std::chrono::milliseconds(kLingerQuietMs);
      if (now >= c->lingerEnd) done = true;
      continue;
    }
    if (r == 0) {
      done = true;  // the peer has closed
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      done = true;  // reset or other failure
    } else if (std::min(c->lingerEnd, c->quietEnd) <= now) {
      done = true;
    } else {
      SetDeadline(c, true, std::min(c->lingerEnd, c->quietEnd));
      return;
    }
  }
  Register(c, h == c->remote, false, 0);
  h->Close();
  Finish(c);
}

// The connection leaves the loop: reported and released by the server.
void TRelayLoops::Loop::Finish(Conn* c) {
  try {
    Register(c, false, false, 0);
    Register(c, true, false, 0);
  } catch (...) {
  }
  SetDeadline(c, false);
  conns.erase(c);
  c->dead = true;
  dead.push_back(c);
  count.fetch_sub(1, std::memory_order_relaxed);
  owner.RelayEnded(c->ctx);
  c->ctx = nullptr;
}

}  // namespace sorvik
