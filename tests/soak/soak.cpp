// Soak with fault injection: the real `sorvik --headless` with six tunnels
// (direct; SOCKS 5 through microsocks; SOCKS 4 through danted; HTTP CONNECT
// through tinyproxy; TLS to stunnel; HTTP then HTTP through two tinyproxy
// instances), driven for a given time by concurrent clients doing random work
// against a checking server, while faults are injected:
//   clients that half-close, reset (SO_LINGER 0), stall (stop reading) or
//   vanish mid-transfer; remotes that reset, close early, or answer and close
//   while the client still sends; the HTTP proxy frozen (SIGSTOP) for a moment
//   and continued; the SOCKS 5 proxy killed and restarted in the middle of the
//   run; the program's descriptor limit reached for a moment; a reload that
//   moves every tunnel to a new server while the old ones drain.
// Every byte is checked. At the end it prints its figures and fails (exit 1)
// on any corrupted byte, any connection past its time bound, a failure outside
// a fault, descriptors or threads not back to their count before the run,
// resident memory growth beyond a small constant after warm-up, a crash, or a
// sanitizer report of the program.
//
//   sorvik_soak [--seconds N] [--clients N] [--program PATH]
//
// Everything runs on loopback; every wait is bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "real_peers.h"
#include "support/net_fixtures.h"

namespace {

using namespace sorvik::test;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Figures

std::atomic<uint64_t> g_served{0};          // exchanges that ended as they should
std::atomic<uint64_t> g_bytes{0};           // bytes relayed and checked, both directions
std::atomic<uint64_t> g_corrupted{0};       // bytes that differ from what was sent
std::atomic<uint64_t> g_hung{0};            // exchanges past their time bound
std::atomic<uint64_t> g_failedInFault{0};   // failures during an injected fault (expected)
std::atomic<uint64_t> g_unexpected{0};      // failures outside any fault

std::mutex g_faults_mutex;
std::map<std::string, uint64_t> g_faults;  // guarded by g_faults_mutex
void CountFault(const std::string& kind) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  ++g_faults[kind];
}

std::mutex g_log_mutex;
std::vector<std::string> g_failures;  // the first few unexpected failures; guarded by g_log_mutex
const Clock::time_point g_program_start = Clock::now();
void NoteFailure(const std::string& what) {
  const double at = std::chrono::duration<double>(Clock::now() - g_program_start).count();
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (g_failures.size() < 20) g_failures.push_back("at " + std::to_string(static_cast<int>(at)) + " s: " + what);
}
// A fault's moment, listed with the failures so that they can be told apart.
void NoteFault(const std::string& what) { NoteFailure("(" + what + ")"); }

// Fault windows: failures of a tunnel that overlap one are expected.
struct Window {
  Clock::time_point from, to;
  int tunnel;  // -1: every tunnel
};
std::mutex g_windows_mutex;
std::vector<Window> g_windows;  // guarded by g_windows_mutex
bool InFault(int tunnel, Clock::time_point from, Clock::time_point to) {
  std::lock_guard<std::mutex> lock(g_windows_mutex);
  for (const Window& w : g_windows) {
    if ((w.tunnel < 0 || w.tunnel == tunnel) && from <= w.to && to >= w.from) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The exchange protocol and its bytes

// Header (16 bytes): op, 3 spare, seed (LE 32), size (LE 64).
struct Header {
  char op = 'D';
  uint32_t seed = 0;
  uint64_t size = 0;
};
constexpr size_t kHeaderSize = 16;
constexpr size_t kRoundSize = 100;  // request-reply rounds
constexpr size_t kAnswerSize = 65536;  // the reply after a half-closed upload

std::string Encode(const Header& h) {
  std::string b(kHeaderSize, '\0');
  b[0] = h.op;
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>((h.seed >> (8 * i)) & 0xFF);
  for (int i = 0; i < 8; ++i) b[8 + i] = static_cast<char>((h.size >> (8 * i)) & 0xFF);
  return b;
}
Header Decode(const std::string& b) {
  Header h;
  h.op = b[0];
  for (int i = 0; i < 4; ++i) h.seed |= static_cast<uint32_t>(static_cast<uint8_t>(b[4 + i])) << (8 * i);
  for (int i = 0; i < 8; ++i) h.size |= static_cast<uint64_t>(static_cast<uint8_t>(b[8 + i])) << (8 * i);
  return h;
}

// Byte i of the stream of `seed`: cheap, position-dependent, seed-dependent.
inline uint8_t StreamByte(uint32_t seed, uint64_t i) {
  uint64_t x = (i / 8) * 0x9E3779B97F4A7C15ULL ^ (static_cast<uint64_t>(seed) << 17 | seed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 29;
  return static_cast<uint8_t>(x >> (8 * (i % 8)));
}
std::string Stream(uint32_t seed, uint64_t from, size_t n) {
  std::string s(n, '\0');
  for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>(StreamByte(seed, from + k));
  return s;
}
// Bytes of `got` (at stream position `from`) that differ from the stream.
uint64_t Mismatches(uint32_t seed, uint64_t from, const char* got, size_t n) {
  uint64_t bad = 0;
  for (size_t k = 0; k < n; ++k) bad += static_cast<uint8_t>(got[k]) != StreamByte(seed, from + k);
  return bad;
}

// ---------------------------------------------------------------------------
// Socket helpers (non-blocking, every wait bounded by a deadline)

int RemainingMs(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1000));
}

enum class Io { kOk, kEof, kReset, kTimeout };

// Sends all of `data`; kTimeout past the deadline, kReset on any failure.
Io SendAll(int fd, const char* p, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (Clock::now() >= deadline) return Io::kTimeout;
      pollfd pf{fd, POLLOUT, 0};
      ::poll(&pf, 1, RemainingMs(deadline));
      continue;
    }
    return Io::kReset;
  }
  return Io::kOk;
}

// One read of at most `cap` bytes appended to `out`.
Io RecvSome(int fd, std::string& out, size_t cap, Clock::time_point deadline) {
  char buf[65536];
  for (;;) {
    ssize_t r = ::recv(fd, buf, std::min(cap, sizeof buf), MSG_DONTWAIT);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
      return Io::kOk;
    }
    if (r == 0) return Io::kEof;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::kReset;
    if (Clock::now() >= deadline) return Io::kTimeout;
    pollfd pf{fd, POLLIN, 0};
    ::poll(&pf, 1, RemainingMs(deadline));
  }
}

// Reads until `n` bytes are in `out`, or the end.
Io RecvExactly(int fd, std::string& out, size_t n, Clock::time_point deadline) {
  while (out.size() < n) {
    Io r = RecvSome(fd, out, n - out.size(), deadline);
    if (r != Io::kOk) return r;
  }
  return Io::kOk;
}

// Reads until the peer ends the stream; bytes go to `out` (a cap keeps memory bounded).
Io RecvToEnd(int fd, std::string& out, Clock::time_point deadline, size_t cap = 64u << 20) {
  for (;;) {
    Io r = RecvSome(fd, out, cap - std::min(cap, out.size()) + 1, deadline);
    if (r != Io::kOk) return r;
    if (out.size() > cap) return Io::kOk;
  }
}

void ResetClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

int ConnectLoopback(uint16_t port, Clock::time_point deadline) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  pollfd pf{fd, POLLOUT, 0};
  while (Clock::now() < deadline && ::poll(&pf, 1, RemainingMs(deadline)) == 0) {
  }
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (!(pf.revents & POLLOUT) || err != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Orderly close of a server connection: end the sending direction, discard
// what still comes until the peer closes (bounded), close.
void OrderlyClose(int fd, Clock::time_point deadline) {
  ::shutdown(fd, SHUT_WR);
  std::string sink;
  while (RecvSome(fd, sink, 65536, deadline) == Io::kOk) sink.clear();
  ::close(fd);
}

// ---------------------------------------------------------------------------
// The checking server (plain TCP; the TLS tunnel reaches it through stunnel)

class WorkServer {
 public:
  WorkServer() {
    listen_fd_ = ListenLoopback(port_, 1024);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~WorkServer() {
    stop_ = true;
    acceptor_.join();
    ::close(listen_fd_);
    // Connections end by their own bounds.
    for (int i = 0; i < 1200 && open_.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  uint16_t Port() const { return port_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd pf{listen_fd_, POLLIN, 0};
      if (::poll(&pf, 1, 100) <= 0) continue;
      int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c < 0) continue;
      ++open_;
      std::thread([this, c] {
        Serve(c);
        --open_;
      }).detach();
    }
  }

  void Serve(int fd) {
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    std::string head;
    if (RecvExactly(fd, head, kHeaderSize, deadline) != Io::kOk) {
      ::close(fd);
      return;
    }
    const Header h = Decode(head);
    std::string in(head.begin() + kHeaderSize, head.end());
    switch (h.op) {
      case 'D': {  // download, then an orderly close
        if (SendStream(fd, h.seed, 0, h.size, deadline)) OrderlyClose(fd, deadline);
        else ::close(fd);
        return;
      }
      case 'C': {  // announced `size`, sends half, then closes in order
        if (SendStream(fd, h.seed, 0, h.size / 2, deadline)) OrderlyClose(fd, deadline);
        else ::close(fd);
        return;
      }
      case 'K': {  // sends `size`, then resets
        SendStream(fd, h.seed, 0, h.size, deadline);
        ResetClose(fd);
        return;
      }
      case 'U': {  // upload of `size`, checked; the count of good bytes back
        uint64_t got = 0, good = 0;
        std::string buf = in;
        while (got + buf.size() < h.size) {
          if (RecvSome(fd, buf, h.size - got - buf.size(), deadline) != Io::kOk) break;
          if (buf.size() >= 65536) {
            const uint64_t bad = Mismatches(h.seed, got, buf.data(), buf.size());
            good += buf.size() - bad;
            g_corrupted += bad;
            got += buf.size();
            buf.clear();
          }
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), h.size - got));
        const uint64_t bad = Mismatches(h.seed, got, buf.data(), n);
        good += n - bad;
        g_corrupted += bad;
        std::string reply(8, '\0');
        for (int i = 0; i < 8; ++i) reply[i] = static_cast<char>((good >> (8 * i)) & 0xFF);
        if (SendAll(fd, reply.data(), 8, deadline) == Io::kOk) OrderlyClose(fd, deadline);
        else ::close(fd);
        return;
      }
      case 'E': {  // echo until the client ends its sending side
        std::string buf = in;
        for (;;) {
          if (!buf.empty() && SendAll(fd, buf.data(), buf.size(), deadline) != Io::kOk) break;
          buf.clear();
          Io r = RecvSome(fd, buf, 65536, deadline);
          if (r == Io::kEof) {
            OrderlyClose(fd, deadline);
            return;
          }
          if (r != Io::kOk) break;
        }
        ::close(fd);
        return;
      }
      case 'H': {  // upload ended by a half-close; then the answer
        uint64_t got = in.size();
        uint64_t bad = Mismatches(h.seed, 0, in.data(), in.size());
        std::string buf;
        Io r;
        while ((r = RecvSome(fd, buf, 65536, deadline)) == Io::kOk) {
          bad += Mismatches(h.seed, got, buf.data(), buf.size());
          got += buf.size();
          buf.clear();
        }
        g_corrupted += bad;
        if (r != Io::kEof || got != h.size) {
          ::close(fd);
          return;
        }
        const std::string answer = Stream(h.seed ^ 0x5A5A5A5Au, 0, kAnswerSize);
        if (SendAll(fd, answer.data(), answer.size(), deadline) == Io::kOk) ::shutdown(fd, SHUT_WR);
        std::string sink;
        while (RecvSome(fd, sink, 65536, deadline) == Io::kOk) sink.clear();
        ::close(fd);
        return;
      }
      case 'Q': {  // request-reply rounds until the client closes
        std::string buf = in;
        for (uint64_t round = 0;; ++round) {
          if (RecvExactly(fd, buf, kRoundSize, deadline) != Io::kOk) break;
          g_corrupted += Mismatches(h.seed, round * kRoundSize, buf.data(), kRoundSize);
          const std::string answer = Stream(h.seed + 1, round * kRoundSize, kRoundSize);
          if (SendAll(fd, answer.data(), answer.size(), deadline) != Io::kOk) break;
          buf.erase(0, kRoundSize);
        }
        ::close(fd);
        return;
      }
      case 'L': {  // answers after 4 KiB and closes in order while the client still sends
        std::string buf = in;
        if (RecvExactly(fd, buf, 4096, deadline) != Io::kOk) {
          ::close(fd);
          return;
        }
        // The answer, reading (and dropping) what the client sends meanwhile.
        const std::string answer = Stream(h.seed, 0, h.size);
        size_t off = 0;
        while (off < answer.size() && Clock::now() < deadline) {
          pollfd pf{fd, POLLIN | POLLOUT, 0};
          ::poll(&pf, 1, 100);
          std::string sink;
          if ((pf.revents & POLLIN) && RecvSome(fd, sink, 65536, Clock::now()) == Io::kReset) break;
          ssize_t w = ::send(fd, answer.data() + off, answer.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
          if (w > 0) off += static_cast<size_t>(w);
          else if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        OrderlyClose(fd, deadline);
        return;
      }
      default:
        ::close(fd);
    }
  }

  bool SendStream(int fd, uint32_t seed, uint64_t from, uint64_t n, Clock::time_point deadline) {
    while (n > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, 65536));
      const std::string b = Stream(seed, from, piece);
      if (SendAll(fd, b.data(), b.size(), deadline) != Io::kOk) return false;
      from += piece;
      n -= piece;
    }
    return true;
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0};
  std::thread acceptor_;
};

// ---------------------------------------------------------------------------
// Clients

struct Tunnel {
  std::string name;
  uint16_t mapped = 0;
  bool halfCloseAware = false;  // direct: no proxy or TLS server in between whose own close rules apply
};

// What one exchange came to.
enum class Result { kServed, kFailed, kHung };

class Client {
 public:
  Client(const std::vector<Tunnel>& tunnels, uint32_t seed, std::chrono::seconds bound)
      : tunnels_(tunnels), rng_(seed), bound_(bound) {}

  void RunUntil(Clock::time_point end) {
    while (Clock::now() < end) One();
  }

 private:
  uint64_t Size(uint64_t max) {
    // Log-uniform from 1 byte to `max`: many small exchanges, some large ones.
    std::uniform_real_distribution<double> d(0.0, std::log2(static_cast<double>(max)));
    return std::max<uint64_t>(1, static_cast<uint64_t>(std::exp2(d(rng_))));
  }

  void One() {
    const int t = static_cast<int>(rng_() % tunnels_.size());
    const Tunnel& tunnel = tunnels_[static_cast<size_t>(t)];
    std::string ops = "DDUUQQKCsrv";  // s, r, v: stall, reset, vanish (downloads)
    if (tunnel.halfCloseAware) ops += "EEHLL";
    const char op = ops[rng_() % ops.size()];
    const auto start = Clock::now();
    const auto deadline = start + bound_;
    std::string why;
    Result r = Exchange(tunnel, op, deadline, why);
    if (r == Result::kHung || Clock::now() > deadline + std::chrono::seconds(5)) {
      ++g_hung;
      NoteFailure(tunnel.name + " op " + op + " hung: " + why);
    } else if (r == Result::kServed) {
      ++g_served;
    } else if (InFault(t, start - std::chrono::seconds(1), Clock::now() + std::chrono::seconds(1))) {
      ++g_failedInFault;
    } else {
      ++g_unexpected;
      NoteFailure(tunnel.name + " op " + op + ": " + why);
    }
  }

  static Result Fail(std::string& why, const std::string& text, Io io) {
    why = text + (io == Io::kEof ? " (end)" : io == Io::kReset ? " (reset)" : io == Io::kTimeout ? " (time-out)" : "");
    return io == Io::kTimeout ? Result::kHung : Result::kFailed;
  }

  Result Exchange(const Tunnel& tunnel, char op, Clock::time_point deadline, std::string& why) {
    const int fd = ConnectLoopback(tunnel.mapped, deadline);
    if (fd < 0) {
      why = "connect";
      return Result::kFailed;
    }
    struct Closer {
      int fd;
      bool done = false;
      ~Closer() {
        if (!done) ::close(fd);
      }
    } closer{fd};
    Header h;
    h.seed = static_cast<uint32_t>(rng_());
    const char wire = (op == 's' || op == 'r' || op == 'v') ? 'D' : op;
    h.op = wire;
    switch (op) {
      case 'Q': h.size = 0; break;
      case 'L': h.size = Size(1u << 20); break;
      case 'E': case 'H': case 'U': h.size = Size(2u << 20); break;
      default: h.size = Size(2u << 20); break;
    }
    if (op == 'H') h.size = std::max<uint64_t>(h.size, 1);
    const std::string head = Encode(h);
    Io io = SendAll(fd, head.data(), head.size(), deadline);
    if (io != Io::kOk) return Fail(why, "header", io);

    switch (op) {
      case 'D': case 'C': case 'K': case 's': case 'r': case 'v': {
        const uint64_t expect = op == 'C' ? h.size / 2 : h.size;
        if (op == 'C') CountFault("remote closes early");
        if (op == 'K') CountFault("remote reset");
        uint64_t got = 0;
        std::string buf;
        const uint64_t cut = op == 's' || op == 'r' || op == 'v' ? expect / 3 : ~uint64_t{0};
        bool stalled = false;
        for (;;) {
          buf.clear();
          io = RecvSome(fd, buf, 65536, deadline);
          if (io != Io::kOk) break;
          const uint64_t bad = Mismatches(h.seed, got, buf.data(), std::min<uint64_t>(buf.size(), expect > got ? expect - got : 0));
          g_corrupted += bad + (got + buf.size() > expect ? got + buf.size() - expect : 0);
          got += buf.size();
          g_bytes += buf.size();
          if (got >= cut && op == 's' && !stalled) {
            CountFault("client stalls");
            stalled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // not reading: the stall itself
          } else if (got >= cut && op == 'r') {
            CountFault("client resets");
            ResetClose(fd);
            closer.done = true;
            return Result::kServed;
          } else if (got >= cut && op == 'v') {
            CountFault("client vanishes");
            return Result::kServed;  // closed with unread bytes
          }
        }
        if (op == 'r' || op == 'v') {  // the stream was shorter than the cut
          return got == expect && io == Io::kEof ? Result::kServed : Fail(why, "short stream", io);
        }
        if (op == 'K') return io == Io::kTimeout ? Fail(why, "remote reset", io) : Result::kServed;
        if (io != Io::kEof || got != expect) {
          return Fail(why, "got " + std::to_string(got) + " of " + std::to_string(expect), io);
        }
        return Result::kServed;
      }
      case 'U': {
        uint64_t sent = 0;
        while (sent < h.size) {
          const size_t piece = static_cast<size_t>(std::min<uint64_t>(h.size - sent, 65536));
          const std::string b = Stream(h.seed, sent, piece);
          io = SendAll(fd, b.data(), b.size(), deadline);
          if (io != Io::kOk) return Fail(why, "upload", io);
          sent += piece;
        }
        std::string reply;
        io = RecvExactly(fd, reply, 8, deadline);
        if (io != Io::kOk) return Fail(why, "upload reply", io);
        uint64_t good = 0;
        for (int i = 0; i < 8; ++i) good |= static_cast<uint64_t>(static_cast<uint8_t>(reply[i])) << (8 * i);
        if (good != h.size) return Fail(why, "upload counted " + std::to_string(good), Io::kOk);
        g_bytes += h.size;
        std::string rest;
        io = RecvToEnd(fd, rest, deadline);
        return io == Io::kEof && rest.empty() ? Result::kServed : Fail(why, "after upload", io);
      }
      case 'Q': {
        const int rounds = 1 + static_cast<int>(rng_() % 20);
        for (int round = 0; round < rounds; ++round) {
          const std::string q = Stream(h.seed, static_cast<uint64_t>(round) * kRoundSize, kRoundSize);
          io = SendAll(fd, q.data(), q.size(), deadline);
          if (io != Io::kOk) return Fail(why, "request", io);
          std::string a;
          io = RecvExactly(fd, a, kRoundSize, deadline);
          if (io != Io::kOk) return Fail(why, "reply", io);
          g_corrupted += Mismatches(h.seed + 1, static_cast<uint64_t>(round) * kRoundSize, a.data(), a.size());
          g_bytes += 2 * kRoundSize;
        }
        return Result::kServed;
      }
      case 'E': {  // echo, ended by a half-close
        CountFault("client half-closes");
        uint64_t sent = 0, got = 0;
        bool ended = false;
        std::string buf;
        while (Clock::now() < deadline) {
          pollfd pf{fd, static_cast<short>(POLLIN | (sent < h.size ? POLLOUT : 0)), 0};
          ::poll(&pf, 1, RemainingMs(deadline));
          if (sent < h.size && (pf.revents & POLLOUT)) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(h.size - sent, 65536));
            const std::string b = Stream(h.seed, sent, piece);
            ssize_t w = ::send(fd, b.data(), b.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) sent += static_cast<uint64_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR) return Fail(why, "echo send", Io::kReset);
          }
          if (sent == h.size && !ended) {
            ::shutdown(fd, SHUT_WR);
            ended = true;
          }
          if (pf.revents & (POLLIN | POLLHUP | POLLERR)) {
            buf.clear();
            io = RecvSome(fd, buf, 65536, Clock::now());
            if (io == Io::kOk) {
              g_corrupted += Mismatches(h.seed, got, buf.data(), std::min<uint64_t>(buf.size(), h.size - std::min(h.size, got)));
              got += buf.size();
              g_bytes += 2 * buf.size();
            } else if (io == Io::kEof) {
              return got == h.size && ended ? Result::kServed
                                            : Fail(why, "echo got " + std::to_string(got) + " of " + std::to_string(h.size), io);
            } else if (io == Io::kReset) {
              return Fail(why, "echo", io);
            }
          }
        }
        return Fail(why, "echo", Io::kTimeout);
      }
      case 'H': {
        CountFault("client half-closes");
        uint64_t sent = 0;
        while (sent < h.size) {
          const size_t piece = static_cast<size_t>(std::min<uint64_t>(h.size - sent, 65536));
          const std::string b = Stream(h.seed, sent, piece);
          io = SendAll(fd, b.data(), b.size(), deadline);
          if (io != Io::kOk) return Fail(why, "half-close upload", io);
          sent += piece;
        }
        ::shutdown(fd, SHUT_WR);
        std::string answer;
        io = RecvToEnd(fd, answer, deadline);
        if (io != Io::kEof || answer.size() != kAnswerSize) {
          return Fail(why, "half-close answer " + std::to_string(answer.size()), io);
        }
        g_corrupted += Mismatches(h.seed ^ 0x5A5A5A5Au, 0, answer.data(), answer.size());
        g_bytes += h.size + answer.size();
        return Result::kServed;
      }
      case 'L': {  // keeps sending while the server answers and closes
        CountFault("remote closes while the client sends");
        uint64_t got = 0;
        uint64_t sent = 0;
        const std::string chunk = Stream(h.seed, 0, 4096);
        std::string buf;
        while (Clock::now() < deadline) {
          pollfd pf{fd, POLLIN | POLLOUT, 0};
          ::poll(&pf, 1, RemainingMs(deadline));
          if ((pf.revents & POLLOUT) && sent < (8u << 20)) {
            ssize_t w = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) sent += static_cast<uint64_t>(w);
          }
          if (pf.revents & (POLLIN | POLLHUP | POLLERR)) {
            buf.clear();
            io = RecvSome(fd, buf, 65536, Clock::now());
            if (io == Io::kOk) {
              g_corrupted += Mismatches(h.seed, got, buf.data(), std::min<uint64_t>(buf.size(), h.size - std::min(h.size, got)));
              got += buf.size();
              g_bytes += buf.size();
            } else if (io != Io::kTimeout) {
              return io == Io::kEof && got == h.size
                         ? Result::kServed
                         : Fail(why, "answer got " + std::to_string(got) + " of " + std::to_string(h.size), io);
            }
          }
        }
        return Fail(why, "answer", Io::kTimeout);
      }
    }
    why = "unknown op";
    return Result::kFailed;
  }

  const std::vector<Tunnel>& tunnels_;
  std::mt19937 rng_;
  std::chrono::seconds bound_;
};

// ---------------------------------------------------------------------------
// The program under test, seen from outside

int CountDir(const std::string& path) {
  int n = 0;
  if (DIR* d = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
// TCP connections that process `pid` holds open: its sockets (by inode) that
// its network namespace lists in a state other than listening.
int OpenConnectionsOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::vector<std::string> inodes;
  if (DIR* d = ::opendir((proc + "/fd").c_str())) {
    while (dirent* e = ::readdir(d)) {
      char target[64] = {};
      const std::string link = proc + "/fd/" + e->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:[", 8) == 0) {
        inodes.emplace_back(target + 8, std::strcspn(target + 8, "]"));
      }
    }
    ::closedir(d);
  }
  int open = 0;
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::ifstream in(proc + table);
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) {
        continue;
      }
      if (state != "0A" && std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) ++open;
    }
  }
  return open;
}

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::unique_ptr<ChildProcess> StartMicrosocks(uint16_t port) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto child = std::make_unique<ChildProcess>(
        std::vector<std::string>{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)});
    if (child->Started() && child->WaitForPort(port, 5000)) return child;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the port may still be held a moment
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int clients = 12;
  std::string program = SORVIK_EXECUTABLE;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--seconds") seconds = std::atoi(argv[i + 1]);
    else if (a == "--clients") clients = std::atoi(argv[i + 1]);
    else if (a == "--program") program = argv[i + 1];
  }
  ::signal(SIGPIPE, SIG_IGN);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);

  // Peers.
  WorkServer work;
  const uint16_t socks5Port = FreePort();
  auto microsocks = StartMicrosocks(socks5Port);
  RealProxy danted(RealProxy::kDanted);
  RealProxy tiny1(RealProxy::kTinyproxy);
  RealProxy tiny2(RealProxy::kTinyproxy);
  if (!microsocks || !danted.Ready() || !tiny1.Ready() || !tiny2.Ready()) {
    std::fprintf(stderr, "soak: a proxy did not start: %s %s %s\n", danted.Problem().c_str(),
                 tiny1.Problem().c_str(), tiny2.Problem().c_str());
    return 1;
  }
  TempDir dir;
  RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=soak.example -days 2 -keyout '" + dir.Path() +
             "/key.pem' -out '" + dir.Path() + "/cert.pem' 2>/dev/null");
  const uint16_t tlsPort = FreePort();
  const std::string stunnelConf = dir.WriteFile(
      "stunnel.conf", "foreground = yes\npid =\n[soak]\naccept = 127.0.0.1:" + std::to_string(tlsPort) +
                          "\nconnect = 127.0.0.1:" + std::to_string(work.Port()) + "\ncert = " + dir.Path() +
                          "/cert.pem\nkey = " + dir.Path() + "/key.pem\n");
  ChildProcess stunnel({"stunnel", stunnelConf});
  if (!stunnel.WaitForPort(tlsPort, 15000)) {
    std::fprintf(stderr, "soak: stunnel did not start: %s\n", stunnel.Stderr().c_str());
    return 1;
  }

  // The tunnels.
  struct Spec {
    const char* name;
    int proxyType;
    uint16_t proxy, proxy2;
    bool tls;
  };
  const Spec specs[] = {
      {"direct", 0, 0, 0, false},
      {"socks5 (microsocks)", 3, socks5Port, 0, false},
      {"socks4 (danted)", 1, danted.Port(), 0, false},
      {"http (tinyproxy)", 4, tiny1.Port(), 0, false},
      {"tls (stunnel)", 0, 0, 0, true},
      {"http+http (tinyproxy x2)", 7, tiny1.Port(), tiny2.Port(), false},
  };
  std::vector<Tunnel> tunnels;
  std::string ini = "[Options]\nAutostartDelay=0\n";
  for (size_t i = 0; i < std::size(specs); ++i) {
    const Spec& s = specs[i];
    Tunnel t{s.name, FreePort(), s.proxyType == 0 && !s.tls};
    tunnels.push_back(t);
    ini += "[Tunnel:" + std::to_string(i) + "]\nTunnelCaption=" + s.name + "\nServer=127.0.0.1\nPort=" +
           std::to_string(s.tls ? tlsPort : work.Port()) + "\nMapped=" + std::to_string(t.mapped) +
           "\nLocalAccess=1\nAutostart=1\nLogServerErrors=1\n";
    if (s.proxyType) {
      ini += "ProxyType=" + std::to_string(s.proxyType) + "\nProxyHost=127.0.0.1\nProxyPort=" + std::to_string(s.proxy) +
             "\n";
      if (s.proxy2) ini += "ProxyHost2=127.0.0.1\nProxyPort2=" + std::to_string(s.proxy2) + "\n";
    }
    if (s.tls) ini += "SSLHost=1\n";
  }
  dir.WriteFile("sorvik.ini", ini);

  // The program: its log goes to a file; a small allocator quarantine so that
  // resident memory shows the program's own growth, not the sanitizer's.
  const char* asanEnv = std::getenv("ASAN_OPTIONS");
  std::string asan = std::string(asanEnv ? asanEnv : "") + ":quarantine_size_mb=8:log_path=" + dir.Path() + "/asan";
  std::string ubsanEnv = std::getenv("UBSAN_OPTIONS") ? std::getenv("UBSAN_OPTIONS") : "";
  ChildProcess sorvik({"env", "ASAN_OPTIONS=" + asan,
                       "UBSAN_OPTIONS=" + ubsanEnv + ":log_path=" + dir.Path() + "/ubsan", program, "--headless",
                       "--data-dir", dir.Path()});
  for (const Tunnel& t : tunnels) {
    if (!sorvik.WaitForPort(t.mapped, 30000)) {
      std::fprintf(stderr, "soak: tunnel %s did not start: %s\n", t.name.c_str(), sorvik.Stderr().c_str());
      return 1;
    }
  }
  const pid_t pid = sorvik.Pid();
  const std::string procDir = "/proc/" + std::to_string(pid);
  const int threadsStarted = CountDir(procDir + "/task");
  // Warm-up: each tunnel once, then the counts before the run, once the
  // warm-up's connections have closed (lingering closes are bounded) and its
  // workers have ended (idle ones after their idle time). A thread the
  // warm-up leaves for good (a resolver's, say) is part of the counts: the
  // wait for it is bounded and not a failure.
  {
    Client warm(tunnels, 1, std::chrono::seconds(60));
    warm.RunUntil(Clock::now() + std::chrono::seconds(std::max(2, seconds / 20)));
  }
  WaitUntil([&] { return OpenConnectionsOf(pid) == 0 && CountDir(procDir + "/task") <= threadsStarted; }, 30000);
  const int fdsBefore = CountDir(procDir + "/fd");
  const int threadsBefore = CountDir(procDir + "/task");
  const uint64_t servedWarm = g_served.exchange(0);
  g_bytes = 0;
  g_failedInFault = 0;
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    g_faults.clear();
  }

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> drivers;
  for (int i = 0; i < clients; ++i) {
    drivers.emplace_back([&, i] {
      Client c(tunnels, 1000u + static_cast<uint32_t>(i), std::chrono::seconds(60));
      c.RunUntil(end);
    });
  }

  // Faults over time: the first tinyproxy frozen for a second and a half at
  // 15%, the SOCKS 5 proxy killed and restarted at 40%, the descriptor limit
  // reached for two seconds at 65%, a reload that moves every tunnel at 80%.
  // Resident memory is read at 25% (after warm-up) and at the end.
  long rssWarm = -1, rssPeak = 0;
  bool proxyKilled = false, limitHit = false, proxyFrozen = false, reloaded = false;
  while (Clock::now() < end) {
    const double at = std::chrono::duration<double>(Clock::now() - start).count() / seconds;
    rssPeak = std::max(rssPeak, RssKiB(pid));
    if (rssWarm < 0 && at >= 0.25) rssWarm = RssKiB(pid);
    if (!proxyFrozen && at >= 0.15) {
      // The connections through it wait meanwhile and go on afterwards; the
      // two tunnels that use it may fail an exchange that ends meanwhile.
      proxyFrozen = true;
      const auto from = Clock::now();
      std::vector<size_t> windows;
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        for (int tunnel : {3, 5}) {
          windows.push_back(g_windows.size());
          g_windows.push_back({from, Clock::time_point::max(), tunnel});
        }
      }
      ::kill(tiny1.Pid(), SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // frozen this long
      ::kill(tiny1.Pid(), SIGCONT);
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        for (size_t w : windows) g_windows[w].to = Clock::now();
      }
      CountFault("proxy frozen and continued");
      NoteFault("the HTTP proxy was continued here");
    }
    if (!reloaded && at >= 0.80) {
      // Every tunnel's stored settings change, so each moves to a new server
      // on its port while its open connections finish on the old one. A
      // connect in the moment between the two may be refused.
      reloaded = true;
      const auto from = Clock::now();
      size_t window = 0;
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        window = g_windows.size();
        g_windows.push_back({from, Clock::time_point::max(), -1});
      }
      std::string moved = ini;
      for (size_t pos = moved.find("LogServerErrors=1"); pos != std::string::npos;
           pos = moved.find("LogServerErrors=1", pos)) {
        moved.replace(pos, 17, "LogServerErrors=0");
      }
      dir.WriteFile("sorvik.ini", moved);
      ::kill(pid, SIGHUP);
      // The new servers listen once the reload has said what it did.
      const std::string wanted = "reload: 0 unchanged, " + std::to_string(tunnels.size()) + " restarted";
      const bool done = WaitUntil([&] { return sorvik.Stderr().find("reload:") != std::string::npos; }, 15000);
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        g_windows[window].to = Clock::now();
      }
      if (!done || sorvik.Stderr().find(wanted) == std::string::npos) {
        std::fprintf(stderr, "soak: the reload did not move every tunnel: %s\n", sorvik.Stderr().c_str());
        return 1;
      }
      CountFault("reload moved every tunnel");
      NoteFault("the reload had moved every tunnel here");
    }
    if (!proxyKilled && at >= 0.40) {
      proxyKilled = true;
      const auto from = Clock::now();
      size_t window = 0;
      {
        // Open until the proxy is back: failures that end meanwhile are expected.
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        window = g_windows.size();
        g_windows.push_back({from, Clock::time_point::max(), 1});
      }
      ::kill(microsocks->Pid(), SIGKILL);
      microsocks.reset();
      std::this_thread::sleep_for(std::chrono::seconds(1));  // the proxy stays away a moment
      microsocks = StartMicrosocks(socks5Port);
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        g_windows[window].to = Clock::now();
      }
      CountFault("proxy killed and restarted");
      NoteFault("the SOCKS 5 proxy was killed here and is back");
      if (!microsocks) {
        std::fprintf(stderr, "soak: microsocks did not come back\n");
        return 1;
      }
    }
    if (!limitHit && at >= 0.65) {
      limitHit = true;
      rlimit old{};
      ::prlimit(pid, RLIMIT_NOFILE, nullptr, &old);
      rlimit tight = old;
      tight.rlim_cur = static_cast<rlim_t>(CountDir(procDir + "/fd") + 4);
      const auto from = Clock::now();
      {
        std::lock_guard<std::mutex> lock(g_windows_mutex);
        g_windows.push_back({from, from + std::chrono::seconds(3), -1});
      }
      if (::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr) == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the limit holds this long
        ::prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
        CountFault("descriptor limit reached");
        NoteFault("the descriptor limit was lifted here");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // sampling interval
  }
  for (auto& d : drivers) d.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  // Settle: every connection ends (lingering closes are bounded), then the counts.
  int fdsAfter = 0, threadsAfter = 0;
  for (int i = 0; i < 600; ++i) {
    fdsAfter = CountDir(procDir + "/fd");
    threadsAfter = CountDir(procDir + "/task");
    if (fdsAfter <= fdsBefore && threadsAfter <= threadsBefore) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const long rssEnd = RssKiB(pid);
  const bool alive = sorvik.Running();
  // An orderly end (SIGTERM), given time for the sanitizers' checks at exit.
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 600 && sorvik.Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int status = sorvik.Stop();
  const bool cleanExit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string sanitizer = RunCommand("cat '" + dir.Path() + "'/asan* '" + dir.Path() + "'/ubsan* 2>/dev/null");
  if (sorvik.Stderr().find("runtime error") != std::string::npos ||
      sorvik.Stderr().find("Sanitizer") != std::string::npos) {
    sanitizer += sorvik.Stderr();
  }

  // Figures.
  const long growth = rssWarm < 0 ? 0 : rssEnd - rssWarm;
  constexpr long kGrowthLimitKiB = 32 * 1024;
  std::printf("soak: %.0f s, %d clients, 6 tunnels (warm-up served %llu)\n", elapsed, clients,
              static_cast<unsigned long long>(servedWarm));
  std::printf("  connections served        %llu (%.1f/s)\n", static_cast<unsigned long long>(g_served.load()),
              g_served.load() / elapsed);
  std::printf("  bytes relayed, checked    %llu (%.1f MiB/s)\n", static_cast<unsigned long long>(g_bytes.load()),
              g_bytes.load() / elapsed / 1048576.0);
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    for (const auto& [kind, n] : g_faults) {
      std::printf("  fault: %-30s %llu\n", kind.c_str(), static_cast<unsigned long long>(n));
    }
  }
  std::printf("  failed during a fault     %llu (expected)\n", static_cast<unsigned long long>(g_failedInFault.load()));
  std::printf("  failed outside a fault    %llu (must be 0)\n", static_cast<unsigned long long>(g_unexpected.load()));
  std::printf("  bytes corrupted           %llu (must be 0)\n", static_cast<unsigned long long>(g_corrupted.load()));
  std::printf("  hung past their bound     %llu (must be 0)\n", static_cast<unsigned long long>(g_hung.load()));
  std::printf("  descriptors before/after  %d / %d\n", fdsBefore, fdsAfter);
  std::printf("  threads before/after      %d / %d\n", threadsBefore, threadsAfter);
  std::printf("  resident memory KiB       after warm-up %ld, peak %ld, end %ld, growth %ld (limit %ld)\n", rssWarm,
              rssPeak, rssEnd, growth, kGrowthLimitKiB);
  std::printf("  program                   %s, exit status %d\n", alive ? "alive at the end" : "DIED",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  for (const std::string& f : g_failures) std::printf("  %s\n", f.c_str());
  if (!sanitizer.empty()) std::printf("  sanitizer report:\n%s\n", sanitizer.c_str());

  const bool pass = g_corrupted == 0 && g_hung == 0 && g_unexpected == 0 && fdsAfter <= fdsBefore &&
                    threadsAfter <= threadsBefore && growth <= kGrowthLimitKiB && alive && cleanExit &&
                    sanitizer.empty() && g_served > 0;
  std::printf("soak: %s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
