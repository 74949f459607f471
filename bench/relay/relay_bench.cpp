// Relay benchmark: the direct loopback path, socat, haproxy (when installed),
// the real program (`sorvik --headless` with a settings file as a user writes
// it: one tunnel, its default log switches, standard output to a pipe that this
// benchmark reads) and the engine alone (an in-process TIdMappedPortTCP), side
// by side in one run.
//
//   bench_relay [--bulk-mib N] [--conns N] [--rate-conns N] [--pings N] [--burst N]
//               [--program PATH] [--before PATH] [--engine-read-kib N] [--engine-splice 1]
//               [--only NAME[,NAME...]] [--rounds N] [--bulk-only 1] [--rate-only 1]
//   bench_relay --scale [N] [--scale-limit-s S] [--program PATH] [--before PATH]
//               [--only NAME[,NAME...]] [--rounds N]
//
// --scale runs the scale run instead of the figures below: N connections
// (default 8000) opened at once and held, each echoing one byte, through
// haproxy (maxconn set to hold N), the program and the --before build, with
// the direct path as the baseline. It raises its own descriptor limit to the
// hard limit and says when the machine cannot hold N. Figures: connections
// that echoed, those that did not (refused, closed, or still unanswered after
// --scale-limit-s seconds, default 30), seconds until all had echoed,
// listen-queue overflows, descriptors, threads and PSS of the relay per held
// connection, and the time from SIGTERM until the relay has exited with all
// of them open.
//
// --before runs an earlier build of the program the same way, as one more
// column, so that a change is measured before and after in the same run;
// --engine-read-kib runs the engine once more with that largest bulk read
// ("engine-alt"), to weigh the read size in the same run; --engine-splice 1
// runs it with the zero-copy relay (splice through a pipe) instead. --only
// takes a comma-separated list of the relays to run (socat, haproxy, sorvik,
// engine, before); the direct path always runs. "access" (only when named)
// runs the accept path's checks first: see RunAccess.
//
// Figures: bulk throughput each way over one connection (every byte checked)
// and the relay's CPU time per GiB moved, 64-byte ping-pong round trip p50/p99
// pinned to one CPU and unpinned, sequential connection rate (connect, 1-byte
// echo, close), a burst of N connects issued at once (listen-queue overflows
// counted by the kernel in /proc/net/netstat, time until every one of them is
// open and has echoed a byte), and N simultaneous echoing connections
// (proportional memory per connection, time to stop with all of them open).
// Each figure is printed with the ratios of Sorvik to haproxy, socat and direct.
// Every relay is measured --rounds times (default 3), all of them in turn in
// each round, each round starting one relay further along; the table shows
// the median of each figure. --bulk-only 1 and --rate-only 1 measure just the
// bulk figures or just the connection rate.
//
// The echo/bulk server runs in a forked child process (an accepting thread, one
// epoll thread for every echoing connection, a thread per bulk transfer), so the memory figures
// of the in-process relay are not mixed with it, and the stop of a relay with
// thousands open does not wake thousands of the server's threads at once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "net/mapped_port_tcp.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
double Secs(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// ---- byte pattern: period kPeriod, readable from any offset in one piece ----
constexpr size_t kPeriod = 65521;
constexpr size_t kIo = 256 * 1024;
std::vector<uint8_t> g_pattern;
void MakePattern() {
  g_pattern.resize(kPeriod + kIo);
  std::mt19937 rng(42);
  for (size_t i = 0; i < kPeriod; ++i) g_pattern[i] = static_cast<uint8_t>(rng());
  for (size_t i = kPeriod; i < g_pattern.size(); ++i) g_pattern[i] = g_pattern[i - kPeriod];
}
const uint8_t* PatternAt(uint64_t offset) { return g_pattern.data() + offset % kPeriod; }

int Listen(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0) Die("listen");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// ---- the echo / bulk server (child process) --------------------------------
// First byte selects: 'E' echo, 'U' + 8-byte length: read and check, answer 'K'
// or 'X'; 'D' + 8-byte length: send the pattern.
//
// One epoll thread serves every echoing connection (and one thread accepts),
// so that thousands of them cost the server no thread each: a relay's stop
// (or a burst) is not followed by thousands of the server's threads waking at
// once and taking the CPUs from the relay being measured. A bulk transfer
// ('U', 'D') gets a thread of its own with a blocking socket for its length,
// as before.
void* ServeBulk(void* arg) {
  const intptr_t v = reinterpret_cast<intptr_t>(arg);
  const int fd = static_cast<int>(v >> 8);
  const char mode = static_cast<char>(v & 0xff);
  uint64_t len = 0;
  if (RecvAll(fd, &len, 8)) {
    if (mode == 'D') {
      for (uint64_t off = 0; off < len;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kIo, len - off));
        if (!SendAll(fd, PatternAt(off), n)) break;
        off += n;
      }
    } else {
      std::vector<uint8_t> buf(kIo);
      bool good = true;
      uint64_t off = 0;
      while (off < len) {
        ssize_t r = ::recv(fd, buf.data(), static_cast<size_t>(std::min<uint64_t>(kIo, len - off)), 0);
        if (r <= 0) {
          good = false;
          break;
        }
        if (std::memcmp(buf.data(), PatternAt(off), static_cast<size_t>(r)) != 0) good = false;
        off += static_cast<uint64_t>(r);
      }
      char ack = good ? 'K' : 'X';
      SendAll(fd, &ack, 1);
    }
  }
  ::close(fd);
  return nullptr;
}

// One connection of the epoll server: its mode once read, and the echo bytes
// its client has not taken yet (while there are any, it is not read).
struct EchoConn {
  int fd;
  char mode = 0;
  std::vector<char> pending;
};

// Accepting thread of the server: as the thread-per-connection server did, it
// does nothing but accept, so that a burst of thousands does not overflow the
// listen queue while the epoll thread echoes; each connection joins the set.
struct Acceptor {
  int lfd, ep;
};
void* AcceptAll(void* arg) {
  const Acceptor a = *static_cast<Acceptor*>(arg);
  for (;;) {
    const int fd = ::accept4(a.lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      ::usleep(1000);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto* c = new EchoConn{fd, 0, {}};
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = c;
    if (::epoll_ctl(a.ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      delete c;
    }
  }
  return nullptr;
}

[[noreturn]] void ServeAll(int lfd) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) Die("epoll_create1");
  static Acceptor acceptor;
  acceptor = {lfd, ep};
  pthread_t acceptThread;
  if (pthread_create(&acceptThread, nullptr, AcceptAll, &acceptor) != 0) Die("pthread_create");
  auto drop = [&](EchoConn* c) {
    ::close(c->fd);  // leaves the set with it
    delete c;
  };
  auto watch = [&](EchoConn* c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = c;
    ::epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
  };
  // Sends what is pending; false: the client has gone.
  auto flush = [](EchoConn* c) {
    size_t sent = 0;
    while (sent < c->pending.size()) {
      const ssize_t w = ::send(c->fd, c->pending.data() + sent, c->pending.size() - sent, MSG_NOSIGNAL);
      if (w > 0) {
        sent += static_cast<size_t>(w);
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        return false;
      }
    }
    c->pending.erase(c->pending.begin(), c->pending.begin() + static_cast<std::ptrdiff_t>(sent));
    return true;
  };
  std::vector<epoll_event> events(512);
  char buf[16384];
  for (;;) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
    for (int i = 0; i < n; ++i) {
      auto* c = static_cast<EchoConn*>(events[i].data.ptr);
      if (!c->pending.empty()) {
        if (!flush(c)) {
          drop(c);
          continue;
        }
        if (!c->pending.empty()) continue;
        watch(c, EPOLLIN);
      }
      if (c->mode == 0) {
        const ssize_t r = ::recv(c->fd, &c->mode, 1, 0);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0 || (c->mode != 'E' && c->mode != 'U' && c->mode != 'D')) {
          drop(c);
          continue;
        }
        if (c->mode != 'E') {
          // A bulk transfer: the socket, blocking again, goes to a thread of its own.
          ::epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
          ::fcntl(c->fd, F_SETFL, ::fcntl(c->fd, F_GETFL) & ~O_NONBLOCK);
          pthread_attr_t attr;
          pthread_attr_init(&attr);
          pthread_attr_setstacksize(&attr, 64 * 1024);
          pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
          pthread_t t;
          void* arg = reinterpret_cast<void*>((static_cast<intptr_t>(c->fd) << 8) | static_cast<uint8_t>(c->mode));
          if (pthread_create(&t, &attr, ServeBulk, arg) != 0) ::close(c->fd);
          pthread_attr_destroy(&attr);
          delete c;
          continue;
        }
      }
      // Echo: what was read goes back; what the client does not take waits.
      const ssize_t r = ::recv(c->fd, buf, sizeof buf, 0);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) {
        drop(c);
        continue;
      }
      c->pending.assign(buf, buf + r);
      if (!flush(c)) {
        drop(c);
        continue;
      }
      if (!c->pending.empty()) watch(c, EPOLLOUT);
    }
  }
}

pid_t StartServer(uint16_t& port) {
  int lfd = Listen(port);
  pid_t pid = ::fork();
  if (pid < 0) Die("fork");
  if (pid == 0) ServeAll(lfd);
  ::close(lfd);
  return pid;
}

// ---- processes, affinity, memory, CPU ----------------------------------------

// Sets the affinity of every thread of the process tree under `root`.
void SetAffinity(pid_t root, const cpu_set_t& set) {
  for (pid_t p : Descendants(root)) {
    std::string dir = "/proc/" + std::to_string(p) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* e = ::readdir(d)) {
        pid_t t = std::atoi(e->d_name);
        if (t > 0) ::sched_setaffinity(t, sizeof set, &set);
      }
      ::closedir(d);
    }
  }
}

// Proportional set size in KiB of the process tree under `root`.
long TreePssKiB(pid_t root) {
  long total = 0;
  for (pid_t p : Descendants(root)) total += PssKiB(p);
  return total;
}

// Threads of the process tree under `root`.
long TreeThreadCount(pid_t root) {
  long total = 0;
  for (pid_t p : Descendants(root)) total += ThreadCount(p);
  return total;
}

// After a burst: waits (at most `limit_s`) until the relay has let go of the
// threads and processes it made for the burst, so that the memory measured
// next is not mixed with what is still being freed.
void WaitSettled(pid_t owner, long threads, double limit_s) {
  const auto t0 = Clock::now();
  while (TreeThreadCount(owner) > threads && Secs(t0, Clock::now()) < limit_s) ::usleep(50000);
}

// CPU seconds spent by the relay: the process tree of an external relay, or this
// process minus its main thread (which runs the clients) for the in-process engine.
double RelayCpuSeconds(pid_t owner) {
  if (owner == ::getpid()) {
    return StatCpuSeconds("/proc/self/stat") - StatCpuSeconds("/proc/self/task/" + std::to_string(::getpid()) + "/stat");
  }
  double total = 0;
  for (pid_t p : Descendants(owner)) total += StatCpuSeconds("/proc/" + std::to_string(p) + "/stat", true);
  return total;
}

// An external relay's stop: SIGTERM to its process tree, and the time until
// the relay has exited (ms). The exit is seen without reaping (WNOWAIT), and
// the child is reaped afterwards: reaping a process whose /proc entries this
// benchmark has read (its descriptors, counted per connection) drops their
// cached entries, which takes the reaper a tenth of a second with thousands of
// connections, a cost of the benchmark and no part of the relay's stop.
double StopMs(pid_t pid) {
  const auto t0 = Clock::now();
  for (pid_t p : Descendants(pid)) ::kill(p, SIGTERM);
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  const double ms = Secs(t0, Clock::now()) * 1000;
  ::waitpid(pid, nullptr, 0);
  return ms;
}

// ---- measurements -----------------------------------------------------------

struct Figures {
  double up_gbit = 0, down_gbit = 0;
  double cpu_s_per_gib = -1;
  double p50_pinned = 0, p99_pinned = 0, p50 = 0, p99 = 0;  // microseconds
  double conn_rate = 0;
  double conn_cpu_us = -1;  // the relay's CPU time per connection of the rate run
  double burst_overflows = -1;
  double burst_s = -1;
  int burst_failed = 0;
  double kib_per_conn = 0;
  double stop_ms = -1;
  bool ok = true;
};

double Bulk(uint16_t port, char mode, uint64_t bytes, bool& ok) {
  int fd = Connect(port);
  if (fd < 0) {
    ok = false;
    return 0;
  }
  char head[9];
  head[0] = mode;
  std::memcpy(head + 1, &bytes, 8);
  auto t0 = Clock::now();
  SendAll(fd, head, 9);
  if (mode == 'U') {
    for (uint64_t off = 0; off < bytes;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(kIo, bytes - off));
      if (!SendAll(fd, PatternAt(off), n)) {
        ok = false;
        break;
      }
      off += n;
    }
    char ack = 0;
    if (!RecvAll(fd, &ack, 1) || ack != 'K') ok = false;
  } else {
    std::vector<uint8_t> buf(kIo);
    uint64_t off = 0;
    while (off < bytes) {
      ssize_t r = ::recv(fd, buf.data(), static_cast<size_t>(std::min<uint64_t>(kIo, bytes - off)), 0);
      if (r <= 0) {
        ok = false;
        break;
      }
      if (std::memcmp(buf.data(), PatternAt(off), static_cast<size_t>(r)) != 0) ok = false;
      off += static_cast<uint64_t>(r);
    }
  }
  double s = Secs(t0, Clock::now());
  ::close(fd);
  return static_cast<double>(bytes) * 8 / s / 1e9;
}

void PingPong(uint16_t port, int pings, double& p50, double& p99, bool& ok) {
  int fd = Connect(port);
  if (fd < 0 || !SendAll(fd, "E", 1)) {
    ok = false;
    return;
  }
  char msg[64], back[64];
  std::vector<double> us;
  us.reserve(static_cast<size_t>(pings));
  for (int i = 0; i < pings + 100; ++i) {
    std::memcpy(msg, PatternAt(static_cast<uint64_t>(i) * 64), 64);
    auto t0 = Clock::now();
    if (!SendAll(fd, msg, 64) || !RecvAll(fd, back, 64) || std::memcmp(msg, back, 64) != 0) {
      ok = false;
      break;
    }
    if (i >= 100) us.push_back(Secs(t0, Clock::now()) * 1e6);  // first 100 warm up
  }
  ::close(fd);
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  p50 = us[us.size() / 2];
  p99 = us[us.size() * 99 / 100];
}

double ConnRate(uint16_t port, int n, bool& ok) {
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    int fd = Connect(port);
    char c = 0;
    if (fd < 0 || !SendAll(fd, "Ex", 2) || !RecvAll(fd, &c, 1) || c != 'x') ok = false;
    if (fd >= 0) ::close(fd);
  }
  return n / Secs(t0, Clock::now());
}

// A burst of `n` connects (see ConnectAndEcho): the time until all are done,
// the connections that failed or were still waiting at `limit_s`, and the
// listen-queue overflows the kernel counted meanwhile.
void Burst(uint16_t port, int n, double limit_s, Figures& f) {
  EchoRound r = ConnectAndEcho(port, n, limit_s, "Ex", 'x', 256);
  f.burst_failed = r.failed;
  f.burst_s = r.until_all_s;
  f.burst_overflows = r.overflows;
  if (f.burst_failed > 0) f.ok = false;
  for (int fd : r.fds) {
    if (fd >= 0) ::close(fd);
  }
}

// Opens n echoing connections; returns them (empty on failure).
std::vector<int> OpenMany(uint16_t port, int n, bool& ok) {
  std::vector<int> fds;
  for (int i = 0; i < n; ++i) {
    int fd = Connect(port);
    char c = 0;
    if (fd < 0 || !SendAll(fd, "Ex", 2) || !RecvAll(fd, &c, 1) || c != 'x') {
      ok = false;
      if (fd >= 0) ::close(fd);
      break;
    }
    fds.push_back(fd);
  }
  // All of them echo once more.
  for (int fd : fds) {
    char c = 0;
    if (!SendAll(fd, "y", 1) || !RecvAll(fd, &c, 1) || c != 'y') ok = false;
  }
  return fds;
}

pid_t g_server = -1;  // the echo/bulk server process, pinned with the relay

// ---- scale run ----------------------------------------------------------------

struct Scale {
  double echoed = 0;        // connections that echoed (and are held)
  double failed = 0;        // refused, closed, or unanswered at the time limit
  double until_all_s = -1;  // until the last echo; the limit when some failed
  double overflows = -1;    // listen-queue overflows meanwhile
  double fds_per_conn = -1, threads_per_conn = -1, kib_per_conn = -1;  // of the relay, per held connection
  double stop_ms = -1;      // SIGTERM until the relay has exited, all held
  double threads_held = -1;  // threads of the relay with all of them held
  double threads_peak = -1;  // most threads of the relay seen while they opened (looked at every 5 ms)
};

// `n` connects at once (see ConnectAndEcho). Returns the sockets that echoed,
// still open; the others are closed.
std::vector<int> OpenAtOnce(uint16_t port, int n, double limit_s, Scale& f) {
  EchoRound r = ConnectAndEcho(port, n, limit_s, "Ex", 'x', 512);
  std::vector<int> held;
  for (size_t i = 0; i < r.fds.size(); ++i) {
    if (r.echoed[i]) {
      held.push_back(r.fds[i]);
    } else if (r.fds[i] >= 0) {
      ::close(r.fds[i]);
    }
  }
  f.echoed = static_cast<double>(held.size());
  f.failed = static_cast<double>(n) - f.echoed;
  f.until_all_s = r.until_all_s;
  f.overflows = r.overflows;
  return held;
}

long TreeFdCount(pid_t root) {
  long total = 0;
  for (pid_t p : Descendants(root)) total += FdCount(p);
  return total;
}

// One relay's scale run: `owner` is the relay's process (the echo server for
// the direct path); `stop` stops it with every connection held and gives ms.
template <class Stop>
Scale MeasureScale(const char* name, uint16_t port, pid_t owner, int n, double limit_s, Stop stop) {
  Scale f;
  const long fds0 = TreeFdCount(owner), threads0 = TreeThreadCount(owner), pss0 = TreePssKiB(owner);
  std::fprintf(stderr, "[%s] %d connections at once...\n", name, n);
  std::atomic<bool> opening{true};
  std::atomic<long> peak{threads0};
  std::thread sampler([&] {
    while (opening.load()) {
      const long t = TreeThreadCount(owner);
      if (t > peak.load()) peak.store(t);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<int> held = OpenAtOnce(port, n, limit_s, f);
  opening.store(false);
  sampler.join();
  f.threads_peak = static_cast<double>(peak.load());
  f.threads_held = static_cast<double>(TreeThreadCount(owner));
  if (!held.empty()) {
    const double k = static_cast<double>(held.size());
    f.fds_per_conn = static_cast<double>(TreeFdCount(owner) - fds0) / k;
    f.threads_per_conn = static_cast<double>(TreeThreadCount(owner) - threads0) / k;
    f.kib_per_conn = static_cast<double>(TreePssKiB(owner) - pss0) / k;
  }
  std::fprintf(stderr, "[%s] %.0f echoed, %.0f did not; stopping...\n", name, f.echoed, f.failed);
  f.stop_ms = stop();
  for (int fd : held) ::close(fd);
  return f;
}

long ReadLong(const char* path) {
  std::ifstream in(path);
  long v = -1;
  in >> v;
  return v;
}

// What this machine allows for n connections held at once; prints what falls
// short. Returns the n this process can hold (its clients' sockets).
int ScaleFits(int n) {
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  const long soft = static_cast<long>(lim.rlim_cur);
  const long own = n + 256;  // the clients' sockets here; the echo server holds as many
  std::printf("descriptor limit (soft = hard after raising): %ld\n", soft);
  if (soft < own) {
    const int fit = static_cast<int>(std::max(0L, soft - 256));
    std::printf("THIS MACHINE CANNOT HOLD %d: the benchmark's clients and the echo server need %ld descriptors\n"
                "each; the run holds %d instead\n",
                n, own, fit);
    n = fit;
  }
  if (soft < 2L * n + 64) {
    std::printf("NOTE: a relay needs two descriptors per connection (%ld) to hold %d under this limit of %ld;\n"
                "      relays that need more will refuse connections\n",
                2L * n + 64, n, soft);
  }
  const long threadsMax = ReadLong("/proc/sys/kernel/threads-max");
  if (threadsMax > 0 && threadsMax < n + 512L) {
    std::printf("NOTE: kernel.threads-max %ld is below the threads of a relay with a thread per connection (%ld)\n",
                threadsMax, n + 512L);
  }
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  long lo = 0, hi = 0;
  if (range >> lo >> hi && hi - lo + 1 < 2L * n) {
    std::printf("NOTE: the ephemeral port range (%ld) is below the %ld local ports that the clients and the\n"
                "      relay's outbound connections take\n",
                hi - lo + 1, 2L * n);
  }
  return n;
}

void PrintScale(const std::map<std::string, std::vector<Scale>>& all, int n, int rounds) {
  const std::map<std::string, Scale> r =
      FieldMedians<Scale>(all, {&Scale::echoed, &Scale::failed, &Scale::until_all_s, &Scale::overflows,
                                &Scale::fds_per_conn, &Scale::threads_per_conn, &Scale::threads_held,
                                &Scale::threads_peak, &Scale::kib_per_conn, &Scale::stop_ms});
  const std::vector<TableRow<Scale>> rows = {
                        {"connections echoed", &Scale::echoed},
                        {"connections not echoed", &Scale::failed},
                        {"s until all echoed", &Scale::until_all_s},
                        {"listen overflows", &Scale::overflows},
                        {"descriptors per connection", &Scale::fds_per_conn},
                        {"threads per connection", &Scale::threads_per_conn},
                        {"threads with all held", &Scale::threads_held},
                        {"threads at most while opening", &Scale::threads_peak},
                        {"PSS KiB per connection", &Scale::kib_per_conn},
                        {"stop with all held (ms)", &Scale::stop_ms},
  };
  PrintTable<Scale>(r, {"direct", "haproxy", "before", "sorvik"}, rows,
                    {{"sorvik/hapx", "sorvik", "haproxy"}, {"before/hapx", "before", "haproxy"},
                     {"sorvik/before", "sorvik", "before"}});
  PrintSpread<Scale>(all, {"direct", "haproxy", "before", "sorvik"}, rows);
  std::printf("(scale run: %d connections opened at once and held; medians of %d rounds. \"not echoed\":\n"
              " refused, closed, or no echo within the time limit, when \"s until all echoed\" shows that\n"
              " limit. Per-connection figures are of the relay's processes (direct: the echo server) and\n"
              " count only the connections that echoed. sorvik: the program run --headless with one tunnel.)\n",
              n, rounds);
}

struct Options {
  uint64_t bulk = 1ull << 30;
  int conns = 2000;
  int rate_conns = 3000;
  int pings = 20000;
  int burst = 2000;
  double burst_limit_s = 15;
  std::string program = SORVIK_PROGRAM;
  std::string before;  // an earlier build of the program, measured as "before"
  int alt_read_kib = 0;  // > 0: the engine once more with this bulk read size, as "engine-alt"
  bool alt_splice = false;  // the engine once more with the zero-copy relay, as "engine-alt"
  std::string only;  // run just these relays, comma-separated (and direct)
  int rounds = 3;  // every relay is measured this often, in turn; the table shows medians
  bool bulk_only = false;  // only the bulk figures (throughput, relay CPU)
  bool rate_only = false;  // only the sequential connection rate
  int scale = 0;   // > 0: the scale run with this many connections held at once
  double scale_limit_s = 30;
};

// Runs every figure against `port`; `owner` is the process whose memory and
// CPU count (and gets pinned); `stop` stops the relay with all connections open.
template <class Stop>
Figures Measure(const char* name, uint16_t port, pid_t owner, const Options& o, Stop stop) {
  Figures f;
  if (o.rate_only) {
    f.up_gbit = f.down_gbit = f.cpu_s_per_gib = -1;
    f.p50_pinned = f.p99_pinned = f.p50 = f.p99 = f.burst_overflows = f.burst_s = f.kib_per_conn = -1;
    std::fprintf(stderr, "[%s] connection rate...\n", name);
    const double rcpu0 = RelayCpuSeconds(owner);
    f.conn_rate = ConnRate(port, o.rate_conns, f.ok);
    if (owner != g_server) f.conn_cpu_us = (RelayCpuSeconds(owner) - rcpu0) * 1e6 / o.rate_conns;
    f.stop_ms = -1;  // the caller ends the relay
    return f;
  }
  std::fprintf(stderr, "[%s] bulk...\n", name);
  const double cpu0 = RelayCpuSeconds(owner);
  f.up_gbit = Bulk(port, 'U', o.bulk, f.ok);
  f.down_gbit = Bulk(port, 'D', o.bulk, f.ok);
  if (owner != g_server) f.cpu_s_per_gib = (RelayCpuSeconds(owner) - cpu0) / (2.0 * static_cast<double>(o.bulk) / (1 << 30));
  if (o.bulk_only) {
    f.p50_pinned = f.p99_pinned = f.p50 = f.p99 = f.conn_rate = f.burst_overflows = f.burst_s = f.kib_per_conn = -1;
    f.stop_ms = -1;  // the caller ends the relay
    return f;
  }
  std::fprintf(stderr, "[%s] latency...\n", name);
  cpu_set_t one, all;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  ::sched_getaffinity(0, sizeof all, &all);
  pid_t self = ::getpid();
  SetAffinity(self, one);
  SetAffinity(g_server, one);
  if (owner != self && owner != g_server) SetAffinity(owner, one);
  PingPong(port, o.pings, f.p50_pinned, f.p99_pinned, f.ok);
  SetAffinity(self, all);
  SetAffinity(g_server, all);
  if (owner != self && owner != g_server) SetAffinity(owner, all);
  PingPong(port, o.pings, f.p50, f.p99, f.ok);
  std::fprintf(stderr, "[%s] connection rate...\n", name);
  const double rcpu0 = RelayCpuSeconds(owner);
  f.conn_rate = ConnRate(port, o.rate_conns, f.ok);
  if (owner != g_server) f.conn_cpu_us = (RelayCpuSeconds(owner) - rcpu0) * 1e6 / o.rate_conns;
  ::usleep(300000);  // let the relay finish closing
  std::fprintf(stderr, "[%s] burst of %d connects...\n", name, o.burst);
  const long threads = TreeThreadCount(owner);
  Burst(port, o.burst, o.burst_limit_s, f);
  WaitSettled(owner, threads, 10);
  std::fprintf(stderr, "[%s] %d connections...\n", name, o.conns);
  long before = TreePssKiB(owner);
  std::vector<int> fds = OpenMany(port, o.conns, f.ok);
  long after = TreePssKiB(owner);
  if (!fds.empty()) f.kib_per_conn = static_cast<double>(after - before) / static_cast<double>(fds.size());
  f.stop_ms = stop();
  for (int fd : fds) ::close(fd);
  return f;
}

// The median of each figure over the rounds (the mean of the middle two for an
// even count); a transfer that failed in any round is reported.
std::map<std::string, Figures> Medians(const std::map<std::string, std::vector<Figures>>& rounds) {
  std::map<std::string, Figures> out = FieldMedians<Figures>(
      rounds, {&Figures::up_gbit, &Figures::down_gbit, &Figures::cpu_s_per_gib, &Figures::p50_pinned,
               &Figures::p99_pinned, &Figures::p50, &Figures::p99, &Figures::conn_rate, &Figures::conn_cpu_us, &Figures::burst_overflows,
               &Figures::burst_s, &Figures::kib_per_conn, &Figures::stop_ms});
  for (auto& [name, m] : out) {
    for (const Figures& f : rounds.at(name)) {
      m.ok = m.ok && f.ok;
      m.burst_failed = std::max(m.burst_failed, f.burst_failed);
    }
  }
  return out;
}

void Print(const std::map<std::string, std::vector<Figures>>& all, const Options& o) {
  const std::map<std::string, Figures> r = Medians(all);
  const std::vector<TableRow<Figures>> rows = {
                          {"throughput up (Gbit/s)", &Figures::up_gbit},
                          {"throughput down (Gbit/s)", &Figures::down_gbit},
                          {"relay CPU (s per GiB)", &Figures::cpu_s_per_gib},
                          {"RTT p50 pinned (us)", &Figures::p50_pinned},
                          {"RTT p99 pinned (us)", &Figures::p99_pinned},
                          {"RTT p50 unpinned (us)", &Figures::p50},
                          {"RTT p99 unpinned (us)", &Figures::p99},
                          {"connections/s", &Figures::conn_rate},
                          {"relay CPU per connection (us)", &Figures::conn_cpu_us},
                          {"burst " + std::to_string(o.burst) + ": listen overflows", &Figures::burst_overflows},
                          {"burst " + std::to_string(o.burst) + ": s until all open", &Figures::burst_s},
                          {"PSS KiB per connection", &Figures::kib_per_conn},
                          {"stop with " + std::to_string(o.conns) + " open (ms)", &Figures::stop_ms},
  };
  PrintTable<Figures>(r, {"direct", "socat", "haproxy", "engine", "engine-alt", "before", "sorvik"}, rows,
                      {{"sorvik/hapx", "sorvik", "haproxy"},
                       {"sorvik/socat", "sorvik", "socat"},
                       {"sorvik/dir", "sorvik", "direct"},
                       {"engine/hapx", "engine", "haproxy"},
                       {"before/hapx", "before", "haproxy"},
                       {"sorvik/before", "sorvik", "before"}});
  PrintSpread<Figures>(all, {"direct", "socat", "haproxy", "engine", "engine-alt", "before", "sorvik"}, rows);
  for (auto& [name, f] : r) {
    if (f.burst_failed > 0) {
      std::printf("NOTE: %s: %d of the %d burst connections were not open and echoing after %.0f s\n", name.c_str(),
                  f.burst_failed, o.burst, o.burst_limit_s);
    }
    if (!f.ok) std::printf("WARNING: %s had failed or corrupted transfers\n", name.c_str());
  }
  std::printf("(medians of %d rounds; sorvik: the program run --headless with one tunnel; engine:\n"
              " TIdMappedPortTCP in this process.\n"
              " Ratios of RTT, CPU, memory, stop and burst figures: lower is better. Direct has no relay:\n"
              " no CPU, memory or stop figure.)\n",
              o.rounds);
}

bool Have(const char* prog) {
  std::string cmd = std::string("command -v ") + prog + " >/dev/null 2>&1 || test -x /usr/sbin/" + prog;
  return std::system(cmd.c_str()) == 0;
}

// The settings file of the program's runs: one tunnel as a user writes it,
// with the default log switches of a new tunnel, started at once.
void WriteProgramSettings(const std::string& dir, uint16_t echoPort, uint16_t port) {
  std::ofstream(dir + "/sorvik.ini") << "[Options]\nAutostartDelay=0\n\n"
                                     << "[Tunnel:0]\nServer=127.0.0.1\nPort=" << echoPort << "\nMapped=" << port
                                     << "\nAutostart=1\nProxyType=0\nLogServerErrors=1\nLogToServer=1\nLogFromServer=0\n"
                                     << "SSLHost=0\nLocalAccess=1\nTunnelCaption=bench\n";
}

// haproxy in TCP mode to the echo server, configured to hold `maxconn`.
void WriteHaproxyConfig(const std::string& path, uint16_t port, uint16_t echoPort, int maxconn) {
  std::ofstream(path) << "global\n  maxconn " << maxconn << "\n"
                      << "defaults\n  mode tcp\n  maxconn " << maxconn << "\n  timeout connect 5s\n"
                      << "  timeout client 300s\n  timeout server 300s\n"
                      << "frontend f\n  bind 127.0.0.1:" << port << "\n  maxconn " << maxconn
                      << "\n  default_backend b\n"
                      << "backend b\n  server s1 127.0.0.1:" << echoPort << "\n";
}

// The program at `path` as one relay: a settings file in `dir` (see
// WriteProgramSettings), `measure(name, argv, port, out)` runs it --headless
// with its standard output to a pipe that is drained meanwhile, and the file
// is removed again. Says so when there is no program at `path`.
template <class Measure>
void RunProgram(const char* name, const std::string& path, const std::string& dir, uint16_t echoPort,
                const Measure& measure) {
  if (::access(path.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "[%s] %s is not there; build the target sorvik or pass --program\n", name, path.c_str());
    return;
  }
  uint16_t p = FreePort();
  WriteProgramSettings(dir, echoPort, p);
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) Die("pipe");
  OutputDrain drain;
  drain.Start(pipefd[0]);
  measure(name, {path, "--headless", "--data-dir", dir}, p, pipefd[1]);
  drain.Join();
  std::fprintf(stderr, "[%s] %ld log lines on standard output\n", name, drain.lines.load());
  std::remove((dir + "/sorvik.ini").c_str());
}

// --only: empty (every relay) or a comma-separated list of names.
bool Wanted(const std::string& only, const char* name) {
  if (only.empty()) return true;
  std::stringstream list(only);
  for (std::string item; std::getline(list, item, ',');) {
    if (item == name) return true;
  }
  return false;
}

// The scale run: every relay in turn, o.rounds times; prints the medians.
void RunScale(const Options& o, uint16_t echoPort, const std::string& dir) {
  std::printf("load average at the start: %s\n", LoadAverage().c_str());
  const int n = ScaleFits(o.scale);
  std::map<std::string, std::vector<Scale>> rounds;
  auto wanted = [&](const char* name) { return Wanted(o.only, name); };
  // Each relay starts once the echo server has let go of the last one's
  // connections (closed their sockets: its threads stay as they are).
  const long echoFds = TreeFdCount(g_server);
  auto settle = [&] {
    const auto t0 = Clock::now();
    while (TreeFdCount(g_server) > echoFds && Secs(t0, Clock::now()) < 30) ::usleep(50000);
  };
  auto external = [&](const char* name, const std::vector<std::string>& argv, uint16_t port, int out = -1) {
    pid_t pid = Spawn(argv, out, /*quiet=*/true);
    if (out >= 0) ::close(out);
    if (!WaitPort(port)) {
      std::fprintf(stderr, "[%s] did not start\n", name);
      Kill(pid);
      return;
    }
    rounds[name].push_back(MeasureScale(name, port, pid, n, o.scale_limit_s, [&] { return StopMs(pid); }));
    Kill(pid);
    settle();
  };
  auto program = [&](const char* name, const std::string& path) { RunProgram(name, path, dir, echoPort, external); };
  for (int round = 1; round <= o.rounds; ++round) {
    std::fprintf(stderr, "== scale round %d of %d\n", round, o.rounds);
    if (o.only.empty()) {
      rounds["direct"].push_back(MeasureScale("direct", echoPort, g_server, n, o.scale_limit_s, [] { return -1.0; }));
      settle();
    }
    if (wanted("haproxy") && Have("haproxy")) {
      uint16_t p = FreePort();
      const std::string cfg = dir + "/haproxy.cfg";
      WriteHaproxyConfig(cfg, p, echoPort, n + 100);
      external("haproxy", {"haproxy", "-f", cfg, "-db"}, p);
      std::remove(cfg.c_str());
    }
    if (!o.before.empty() && wanted("before")) program("before", o.before);
    if (wanted("sorvik")) program("sorvik", o.program);
  }
  PrintScale(rounds, n, o.rounds);
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
}

// --only access: the accept path's checks on the engine alone. Sequential
// connection rate (connect, 1-byte echo, close) without rules and with an
// allow-list of 100 entries that the client's address meets at the end of its
// search (99 networks of 10.0.0.0/8, then 127.0.0.1: a list that names a
// loopback address is searched for a loopback client too); and the 64-byte
// round trip of an allowed client, quiet and while another thread floods the
// port with connects from a refused address (127.0.0.2), with the rate of
// refusals that flood reached.
void RunAccess(const Options& o, uint16_t echoPort) {
  auto relayWith = [&](const std::string& allow) {
    auto relay = std::make_unique<sorvik::TIdMappedPortTCP>();
    relay->Bindings.push_back({"", 0, sorvik::Id_IPv4});
    relay->MappedHost = "127.0.0.1";
    relay->MappedPort = echoPort;
    auto rules = std::make_shared<sorvik::TClientAccess>();
    if (auto list = sorvik::TAllowList::Parse(allow)) rules->AllowFrom = std::move(*list);
    relay->Access.SetRules(rules);
    relay->SetActive(true);
    return relay;
  };
  std::string hundred;
  for (int i = 0; i < 99; ++i) hundred += "10." + std::to_string(i) + ".0.0/16 ";
  hundred += "127.0.0.1";
  std::vector<double> none, listed, quiet50, quiet99, flood50, flood99, refusedPerS;
  for (int round = 1; round <= o.rounds; ++round) {
    std::fprintf(stderr, "== access round %d of %d\n", round, o.rounds);
    bool ok = true;
    {
      auto relay = relayWith("");
      none.push_back(ConnRate(relay->BoundPort(0), o.rate_conns, ok));
      relay->SetActive(false);
    }
    auto relay = relayWith(hundred);
    const uint16_t port = relay->BoundPort(0);
    listed.push_back(ConnRate(port, o.rate_conns, ok));
    double p50 = 0, p99 = 0;
    PingPong(port, o.pings, p50, p99, ok);
    quiet50.push_back(p50);
    quiet99.push_back(p99);
    std::atomic<bool> stop{false};
    std::atomic<long> flooded{0};
    std::thread flood([&] {
      sockaddr_in from{}, to{};
      from.sin_family = to.sin_family = AF_INET;
      ::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
      ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
      to.sin_port = htons(port);
      while (!stop.load()) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
          ++flooded;
        }
        ::close(fd);
      }
    });
    const uint64_t refusedBefore = relay->Access.RefusedCount();
    const auto t0 = Clock::now();
    PingPong(port, o.pings, p50, p99, ok);
    const double took = Secs(t0, Clock::now());
    stop = true;
    flood.join();
    flood50.push_back(p50);
    flood99.push_back(p99);
    refusedPerS.push_back(static_cast<double>(relay->Access.RefusedCount() - refusedBefore) / took);
    relay->SetActive(false);
    if (!ok) std::fprintf(stderr, "[access] a connection failed\n");
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  std::printf("access (engine, median of %d rounds)\n", o.rounds);
  std::printf("  connections/s, no allow-list:        %10.0f\n", median(none));
  std::printf("  connections/s, 100-entry allow-list: %10.0f  (%.2fx)\n", median(listed),
              median(listed) / std::max(1.0, median(none)));
  std::printf("  allowed round trip p50/p99 us, quiet:            %8.1f / %8.1f\n", median(quiet50), median(quiet99));
  std::printf("  allowed round trip p50/p99 us, refused flood:    %8.1f / %8.1f  (%.2fx p50; %.0f refusals/s)\n",
              median(flood50), median(flood99), median(flood50) / std::max(0.001, median(quiet50)),
              median(refusedPerS));
}


}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool bad = false;
  for (int i = 1; i < argc && !bad; i += 2) {
    std::string a = argv[i];
    if (a == "--scale") {  // the count is optional
      o.scale = 8000;
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        o.scale = std::atoi(argv[i + 1]);
      } else {
        --i;
      }
      bad = o.scale <= 0;
      continue;
    }
    if (i + 1 >= argc) {
      bad = true;
      break;
    }
    long v = std::atol(argv[i + 1]);
    if (a == "--bulk-mib") o.bulk = static_cast<uint64_t>(v) << 20;
    else if (a == "--scale-limit-s") o.scale_limit_s = static_cast<double>(v);
    else if (a == "--bulk-only") o.bulk_only = v != 0;
    else if (a == "--rate-only") o.rate_only = v != 0;
    else if (a == "--conns") o.conns = static_cast<int>(v);
    else if (a == "--rate-conns") o.rate_conns = static_cast<int>(v);
    else if (a == "--pings") o.pings = static_cast<int>(v);
    else if (a == "--burst") o.burst = static_cast<int>(v);
    else if (a == "--program") o.program = argv[i + 1];
    else if (a == "--before") o.before = argv[i + 1];
    else if (a == "--engine-read-kib") o.alt_read_kib = static_cast<int>(v);
    else if (a == "--engine-splice") o.alt_splice = v != 0;
    else if (a == "--only") o.only = argv[i + 1];
    else if (a == "--rounds") o.rounds = std::max(1, static_cast<int>(v));
    else bad = true;
  }
  if (bad) {
    std::fprintf(stderr,
                 "usage: %s [--bulk-mib N] [--conns N] [--rate-conns N] [--pings N] [--burst N] [--program PATH]\n"
                 "          [--before PATH] [--engine-read-kib N] [--engine-splice 1]\n"
                 "          [--only NAME[,NAME...]] [--rounds N] [--bulk-only 1] [--rate-only 1]\n"
                 "       %s --scale [N] [--scale-limit-s S] [--program PATH] [--before PATH]\n"
                 "          [--only NAME[,NAME...]] [--rounds N]\n",
                 argv[0], argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  MakePattern();

  uint16_t echoPort = 0;
  pid_t server = StartServer(echoPort);  // before any thread exists here
  g_server = server;
  WaitPort(echoPort);
  std::map<std::string, Figures> results;            // of the round under way
  std::map<std::string, std::vector<Figures>> rounds;  // every round's figures
  const pid_t self = ::getpid();
  char dir[] = "/tmp/sorvik-bench-XXXXXX";
  if (!::mkdtemp(dir)) Die("mkdtemp");
  if (!o.only.empty() && Wanted(o.only, "access")) {
    RunAccess(o, echoPort);
    if (o.only == "access") {
      ::rmdir(dir);
      Kill(server);
      return 0;
    }
  }
  if (o.scale > 0) {
    RunScale(o, echoPort, dir);
    ::rmdir(dir);
    Kill(server);
    return 0;
  }
  std::printf("load average at the start: %s\n", LoadAverage().c_str());

  // Every relay in turn, o.rounds times, so that a change in the machine's load
  // falls on all of them alike.
  for (int round = 1; round <= o.rounds; ++round) {
    std::fprintf(stderr, "== round %d of %d\n", round, o.rounds);
    results["direct"] = Measure("direct", echoPort, server, o, [] { return -1.0; });
    // The direct row's memory is the echo server's; it is no relay figure.
    results["direct"].kib_per_conn = -1;

    // An external relay: stopped with SIGTERM to its process tree, timed until it
    // has exited.
    auto external = [&](const char* name, std::vector<std::string> argv, uint16_t port, int out = -1) {
      pid_t pid = Spawn(argv, out, /*quiet=*/true);
      if (out >= 0) ::close(out);
      if (!WaitPort(port)) {
        std::fprintf(stderr, "[%s] did not start\n", name);
        Kill(pid);
        return;
      }
      results[name] = Measure(name, port, pid, o, [&] { return StopMs(pid); });
      Kill(pid);
    };

    auto wanted = [&](const char* name) { return Wanted(o.only, name); };
    // The relays in turn; each round starts one further along the list, so
    // that none always runs right after the same other one (a relay's exit
    // leaves work behind: sockets in time-wait, memory to give back).
    std::vector<std::function<void()>> turns;
    if (wanted("socat") && Have("socat")) {
      turns.push_back([&] {
        uint16_t p = FreePort();
        external("socat",
                 {"socat", "TCP-LISTEN:" + std::to_string(p) + ",bind=127.0.0.1,fork,reuseaddr,backlog=4096",
                  "TCP:127.0.0.1:" + std::to_string(echoPort)},
                 p);
      });
    }
    if (wanted("haproxy") && Have("haproxy")) {
      turns.push_back([&] {
        uint16_t p = FreePort();
        std::string cfg = std::string(dir) + "/haproxy.cfg";
        WriteHaproxyConfig(cfg, p, echoPort, std::max(8000, o.conns + o.burst + 100));
        external("haproxy", {"haproxy", "-f", cfg, "-db"}, p);
        std::remove(cfg.c_str());
      });
    }

    // The program: a settings file as a user writes it, one tunnel with the
    // default log switches of a new tunnel, started by the autostart pass at once.
    auto program = [&](const char* name, const std::string& path) { RunProgram(name, path, dir, echoPort, external); };
    if (!o.before.empty() && wanted("before")) turns.push_back([&] { program("before", o.before); });
    if (wanted("sorvik")) turns.push_back([&] { program("sorvik", o.program); });

    auto engine = [&](const char* name, int readSize, bool splice) {
      auto relay = std::make_unique<sorvik::TIdMappedPortTCP>();
      relay->Bindings.push_back({"127.0.0.1", 0, sorvik::Id_IPv4});
      relay->MappedHost = "127.0.0.1";
      relay->MappedPort = echoPort;
      if (readSize > 0) relay->BulkReadSize = readSize;
      relay->ZeroCopyRelay = splice;
      relay->SetActive(true);
      results[name] = Measure(name, relay->BoundPort(0), self, o, [&] {
        auto t0 = Clock::now();
        relay->SetActive(false);
        return Secs(t0, Clock::now()) * 1000;
      });
    };
    if (wanted("engine")) {
      turns.push_back([&] {
        engine("engine", 0, false);
        if (o.alt_read_kib > 0 || o.alt_splice) engine("engine-alt", o.alt_read_kib * 1024, o.alt_splice);
      });
    }
    for (size_t i = 0; i < turns.size(); ++i) turns[(i + static_cast<size_t>(round - 1)) % turns.size()]();
    for (auto& [name, f] : results) rounds[name].push_back(f);
    results.clear();
  }
  ::rmdir(dir);

  Kill(server);
  Print(rounds, o);
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
  return 0;
}
