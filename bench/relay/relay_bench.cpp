// Relay benchmark: the direct loopback path, socat, haproxy (when installed) and
// an in-process TIdMappedPortTCP, side by side in one run.
//
//   bench_relay [--bulk-mib N] [--conns N] [--rate-conns N] [--pings N] [--only socat|haproxy|sorvik]
//
// Figures: bulk throughput each way over one connection (every byte checked),
// 64-byte ping-pong round trip p50/p99 pinned to one CPU and unpinned,
// sequential connection rate (connect, 1-byte echo, close), and N simultaneous
// echoing connections (proportional memory per connection, time to stop).
//
// The echo/bulk server runs in a forked child process (thread per connection),
// so the memory figures of the in-process relay are not mixed with it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "net/mapped_port_tcp.h"

namespace {

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

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

bool SendAll(int fd, const void* p, size_t n) {
  auto* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    c += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
bool RecvAll(int fd, void* p, size_t n) {
  auto* c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = ::recv(fd, c, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

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

uint16_t FreePort() {
  std::mt19937 rng(static_cast<uint32_t>(::getpid() * 7919u + static_cast<uint32_t>(Clock::now().time_since_epoch().count())));
  for (;;) {
    auto port = static_cast<uint16_t>(10000 + rng() % 22000);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return port;
  }
}

bool WaitPort(uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    int fd = Connect(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    ::usleep(10000);
  }
  return false;
}

// ---- the echo / bulk server (child process) --------------------------------
// First byte selects: 'E' echo, 'U' + 8-byte length: read and check, answer 'K'
// or 'X'; 'D' + 8-byte length: send the pattern.
void* ServeConnection(void* arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char mode = 0;
  if (RecvAll(fd, &mode, 1)) {
    if (mode == 'E') {
      char buf[16384];
      for (;;) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0 || !SendAll(fd, buf, static_cast<size_t>(r))) break;
      }
    } else if (mode == 'U' || mode == 'D') {
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
    }
  }
  ::close(fd);
  return nullptr;
}

pid_t StartServer(uint16_t& port) {
  int lfd = Listen(port);
  pid_t pid = ::fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    for (;;) {
      int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        ::usleep(1000);
        continue;
      }
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setstacksize(&attr, 64 * 1024);
      pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
      pthread_t t;
      if (pthread_create(&t, &attr, ServeConnection, reinterpret_cast<void*>(static_cast<intptr_t>(c))) != 0) ::close(c);
      pthread_attr_destroy(&attr);
    }
  }
  ::close(lfd);
  return pid;
}

// ---- processes, affinity, memory -------------------------------------------

pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int n = ::open("/dev/null", O_RDWR);
    ::dup2(n, 0);
    ::dup2(n, 1);
    ::dup2(n, 2);
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    ::execvp(a[0], a.data());
    _exit(127);
  }
  return pid;
}

void Kill(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::vector<pid_t> Descendants(pid_t root) {
  std::map<pid_t, pid_t> parent;
  if (DIR* d = ::opendir("/proc")) {
    while (dirent* e = ::readdir(d)) {
      pid_t p = std::atoi(e->d_name);
      if (p <= 0) continue;
      std::ifstream in("/proc/" + std::to_string(p) + "/stat");
      std::string line;
      std::getline(in, line);
      auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      int ppid = 0;
      char state;
      std::sscanf(line.c_str() + close + 2, "%c %d", &state, &ppid);
      parent[p] = ppid;
    }
    ::closedir(d);
  }
  std::vector<pid_t> out{root};
  for (size_t i = 0; i < out.size(); ++i) {
    for (auto& [p, pp] : parent) {
      if (pp == out[i]) out.push_back(p);
    }
  }
  return out;
}

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
long PssKiB(pid_t root) {
  long total = 0;
  for (pid_t p : Descendants(root)) {
    std::ifstream in("/proc/" + std::to_string(p) + "/smaps_rollup");
    std::string key;
    long value;
    while (in >> key) {
      if (key == "Pss:") {
        in >> value;
        total += value;
        break;
      }
      in.ignore(1 << 20, '\n');
    }
  }
  return total;
}

// ---- measurements -----------------------------------------------------------

struct Figures {
  double up_gbit = 0, down_gbit = 0;
  double p50_pinned = 0, p99_pinned = 0, p50 = 0, p99 = 0;  // microseconds
  double conn_rate = 0;
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

struct Options {
  uint64_t bulk = 1ull << 30;
  int conns = 2000;
  int rate_conns = 3000;
  int pings = 20000;
  std::string only;  // run just this relay (and direct)
};

// Runs every figure against `port`; `owner` is the process whose memory counts
// (and gets pinned); `stop` stops the relay with all connections open.
template <class Stop>
Figures Measure(const char* name, uint16_t port, pid_t owner, const Options& o, Stop stop) {
  Figures f;
  std::fprintf(stderr, "[%s] bulk...\n", name);
  f.up_gbit = Bulk(port, 'U', o.bulk, f.ok);
  f.down_gbit = Bulk(port, 'D', o.bulk, f.ok);
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
  f.conn_rate = ConnRate(port, o.rate_conns, f.ok);
  ::usleep(300000);  // let the relay finish closing
  std::fprintf(stderr, "[%s] %d connections...\n", name, o.conns);
  long before = PssKiB(owner);
  std::vector<int> fds = OpenMany(port, o.conns, f.ok);
  long after = PssKiB(owner);
  if (!fds.empty()) f.kib_per_conn = static_cast<double>(after - before) / static_cast<double>(fds.size());
  f.stop_ms = stop();
  for (int fd : fds) ::close(fd);
  return f;
}

void Print(const std::map<std::string, Figures>& r) {
  const char* order[] = {"direct", "socat", "haproxy", "sorvik"};
  struct Row {
    const char* label;
    double Figures::*field;
    bool higher_better;
  };
  const Row rows[] = {
      {"throughput up (Gbit/s)", &Figures::up_gbit, true},
      {"throughput down (Gbit/s)", &Figures::down_gbit, true},
      {"RTT p50 pinned (us)", &Figures::p50_pinned, false},
      {"RTT p99 pinned (us)", &Figures::p99_pinned, false},
      {"RTT p50 unpinned (us)", &Figures::p50, false},
      {"RTT p99 unpinned (us)", &Figures::p99, false},
      {"connections/s", &Figures::conn_rate, true},
      {"PSS KiB per connection", &Figures::kib_per_conn, false},
      {"stop with all open (ms)", &Figures::stop_ms, false},
  };
  std::printf("\n%-26s", "figure");
  for (const char* n : order) {
    if (r.count(n)) std::printf("%12s", n);
  }
  std::printf("%14s%14s%14s\n", "sorvik/socat", "sorvik/hapx", "sorvik/direct");
  for (const Row& row : rows) {
    std::printf("%-26s", row.label);
    for (const char* n : order) {
      if (r.count(n)) std::printf("%12.2f", r.at(n).*row.field);
    }
    auto ratio = [&](const char* other) {
      if (!r.count("sorvik") || !r.count(other) || r.at(other).*row.field <= 0) return std::printf("%14s", "-");
      return std::printf("%14.2f", r.at("sorvik").*row.field / (r.at(other).*row.field));
    };
    ratio("socat");
    ratio("haproxy");
    ratio("direct");
    std::printf("\n");
  }
  for (auto& [name, f] : r) {
    if (!f.ok) std::printf("WARNING: %s had failed or corrupted transfers\n", name.c_str());
  }
  std::printf("(RTT ratios: lower is better; direct has no relay, its stop and memory figures are 0)\n");
}

bool Have(const char* prog) {
  std::string cmd = std::string("command -v ") + prog + " >/dev/null 2>&1 || test -x /usr/sbin/" + prog;
  return std::system(cmd.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    long v = std::atol(argv[i + 1]);
    if (a == "--bulk-mib") o.bulk = static_cast<uint64_t>(v) << 20;
    else if (a == "--conns") o.conns = static_cast<int>(v);
    else if (a == "--rate-conns") o.rate_conns = static_cast<int>(v);
    else if (a == "--pings") o.pings = static_cast<int>(v);
    else if (a == "--only") o.only = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: %s [--bulk-mib N] [--conns N] [--rate-conns N] [--pings N] [--only socat|haproxy|sorvik]\n", argv[0]);
      return 2;
    }
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
  std::map<std::string, Figures> results;
  const pid_t self = ::getpid();

  results["direct"] = Measure("direct", echoPort, server, o, [] { return 0.0; });
  // The direct row's memory is the echo server's; it is no relay figure.
  results["direct"].kib_per_conn = 0;

  auto external = [&](const char* name, std::vector<std::string> argv, uint16_t port) {
    pid_t pid = Spawn(argv);
    if (!WaitPort(port)) {
      std::fprintf(stderr, "[%s] did not start\n", name);
      Kill(pid);
      return;
    }
    results[name] = Measure(name, port, pid, o, [&] {
      auto t0 = Clock::now();
      for (pid_t p : Descendants(pid)) ::kill(p, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      return Secs(t0, Clock::now()) * 1000;
    });
    Kill(pid);
  };

  auto wanted = [&](const char* name) { return o.only.empty() || o.only == name; };
  if (wanted("socat") && Have("socat")) {
    uint16_t p = FreePort();
    external("socat",
             {"socat", "TCP-LISTEN:" + std::to_string(p) + ",bind=127.0.0.1,fork,reuseaddr,backlog=4096",
              "TCP:127.0.0.1:" + std::to_string(echoPort)},
             p);
  }
  if (wanted("haproxy") && Have("haproxy")) {
    uint16_t p = FreePort();
    char dir[] = "/tmp/sorvik-bench-XXXXXX";
    if (::mkdtemp(dir)) {
      std::string cfg = std::string(dir) + "/haproxy.cfg";
      std::ofstream(cfg) << "global\n  maxconn 8000\n"
                         << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 300s\n"
                         << "  timeout server 300s\n"
                         << "frontend f\n  bind 127.0.0.1:" << p << "\n  default_backend b\n"
                         << "backend b\n  server s1 127.0.0.1:" << echoPort << "\n";
      external("haproxy", {"haproxy", "-f", cfg, "-db"}, p);
      std::remove(cfg.c_str());
      ::rmdir(dir);
    }
  }

  if (wanted("sorvik")) {
    auto relay = std::make_unique<sorvik::TIdMappedPortTCP>();
    relay->Bindings.push_back({"127.0.0.1", 0, sorvik::Id_IPv4});
    relay->MappedHost = "127.0.0.1";
    relay->MappedPort = echoPort;
    relay->SetActive(true);
    results["sorvik"] = Measure("sorvik", relay->BoundPort(0), self, o, [&] {
      auto t0 = Clock::now();
      relay->SetActive(false);
      return Secs(t0, Clock::now()) * 1000;
    });
  }

  Kill(server);
  Print(results);
  return 0;
}
