// The relay that runs on a connection's worker thread: for connections a
// relay loop does not take (TLS, a data hook set, RelayLoops=-1, or no loop
// could start). A copying relay that works through the handlers' transport
// and shows each chunk to the data hooks, and a zero-copy relay (splice
// through a pipe) for two plain sockets without data hooks; the end of the
// relay closes both sides, lingering on the one whose peer may still wait.
//
// Thread contract: everything here runs on the worker thread that owns the
// connection (its handlers, Data(), its read buffers). Other threads reach it
// only through the handlers' Cancel() (a signal to this thread's waits) and
// the server's wake fd (deactivation). The data hooks are copied under
// hooks_mutex when data_hooks_version changes and called without a lock; the
// byte counts are relaxed atomic adds; splice pipes come from the process's
// budget (SplicePipeCount) and are made under DescriptorSwapLock() shared.
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <typeinfo>
#include <vector>

#include "net/exceptions.h"
#include "net/mapped_port_impl.h"
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
// Lingering close of a side whose counterpart has finished: what its peer
// still sends is discarded until the peer closes, stays silent this long, or
// the whole close has taken the server's LingerMs; the bytes already
// forwarded to it are delivered meanwhile.
constexpr int kLingerQuietMs = 2000;
// How often the relay looks at what a remote has acknowledged while only its
// socket holds bytes for it and the client has ended.
constexpr int kTakeLookMs = 250;
// A pipe smaller than this moves a bulk transfer in too many small steps:
// the copying relay does better.
constexpr int kMinSplicePipe = 64 * 1024;

}  // namespace

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
