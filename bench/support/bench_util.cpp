#include "bench_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>

namespace bench {

void Die(const char* what) {
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

uint16_t FreePort() {
  static std::mt19937 rng(static_cast<uint32_t>(::getpid()) * 7919u +
                          static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (;;) {
    // Below the ephemeral range: no outgoing connection of this machine holds it.
    auto port = static_cast<uint16_t>(10000 + rng() % 22000);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Die("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return port;
  }
}

bool WaitPort(uint16_t port, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    int fd = Connect(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    ::usleep(10000);
  }
  return false;
}

pid_t Spawn(const std::vector<std::string>& argv, int out, bool quiet) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (quiet) {
      int n = ::open("/dev/null", O_RDWR);
      ::dup2(n, 0);
      ::dup2(out >= 0 ? out : n, 1);
      ::dup2(n, 2);
    } else if (out >= 0) {
      ::dup2(out, 1);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
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

long PssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "Pss:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

long ThreadCount(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atol(line.c_str() + 8);
  }
  return 0;
}

long FdCount(pid_t pid) {
  long n = 0;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double StatCpuSeconds(const std::string& path, bool children) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  unsigned long long utime = 0, stime = 0, cutime = 0, cstime = 0;
  // Fields after the name: state(3) ppid ... utime(14) stime(15) cutime(16) cstime(17).
  std::sscanf(line.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu", &utime,
              &stime, &cutime, &cstime);
  const unsigned long long ticks = utime + stime + (children ? cutime + cstime : 0);
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ListenOverflows() {
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value) {
      if (name == "ListenOverflows") return std::atol(value.c_str());
    }
  }
  return -1;
}

EchoRound ConnectAndEcho(uint16_t port, int n, double limit_s, const std::string& request, char answer,
                         size_t batch) {
  const long before = ListenOverflows();
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> fds(static_cast<size_t>(n), -1);
  std::vector<char> state(static_cast<size_t>(n), 0);  // 0 connecting, 1 sent, 2 echoed, 3 failed
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int pending = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fds[static_cast<size_t>(i)] = fd;
    if (fd < 0 || (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
      state[static_cast<size_t>(i)] = 3;
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    ++pending;
  }
  auto last = t0;
  std::vector<epoll_event> events(batch);
  while (pending > 0) {
    const double left = limit_s - std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (left <= 0) break;
    int k = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), static_cast<int>(left * 1000) + 1);
    for (int j = 0; j < k; ++j) {
      const size_t i = events[static_cast<size_t>(j)].data.u32;
      const int fd = fds[i];
      if (state[i] == 0) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        const ssize_t sent = err != 0 ? -1 : ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(request.size())) {
          state[i] = 3;
        } else {
          state[i] = 1;
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.u32 = static_cast<uint32_t>(i);
          ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
          continue;
        }
      } else if (state[i] == 1) {
        char c = 0;
        ssize_t r = ::recv(fd, &c, 1, 0);
        if (r < 0 && errno == EAGAIN) continue;
        state[i] = r == 1 && c == answer ? 2 : 3;
      } else {
        continue;
      }
      ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
      --pending;
      last = std::chrono::steady_clock::now();
    }
  }
  const long after = ListenOverflows();
  ::close(ep);
  EchoRound r;
  r.fds = std::move(fds);
  r.echoed.reserve(state.size());
  for (char st : state) {
    r.echoed.push_back(st == 2);
    r.failed += st != 2;
  }
  r.until_all_s = r.failed > 0 ? limit_s : std::chrono::duration<double>(last - t0).count();
  r.overflows = before >= 0 && after >= 0 ? static_cast<double>(after - before) : -1;
  return r;
}

void OutputDrain::Start(int readFd) {
  fd = readFd;
  thread = std::thread([this] {
    char buf[65536];
    for (;;) {
      ssize_t r = ::read(fd, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      lines += std::count(buf, buf + r, '\n');
    }
  });
}

void OutputDrain::Join() {
  if (thread.joinable()) thread.join();
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace bench
