#include "support/kernel_state.h"

// The full struct tcp_info (with tcpi_bytes_sent) is the kernel's; the C
// library's <netinet/tcp.h> has an older one and cannot be included beside it.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sorvik::test {

namespace {

// States as /proc/net/tcp writes them (the kernel's TCP_* numbers).
constexpr int kEstablished = 1;
constexpr int kSynSent = 2;
constexpr int kListen = 10;

bool IsPollCall(long nr) {
#ifdef SYS_poll
  if (nr == SYS_poll) return true;
#endif
  return nr == SYS_ppoll;
}

// The port of "ADDRESS:PORT" as /proc/net/tcp writes it (both in hex).
int PortOf(const std::string& endpoint) {
  const size_t colon = endpoint.rfind(':');
  if (colon == std::string::npos) return -1;
  return static_cast<int>(std::strtol(endpoint.c_str() + colon + 1, nullptr, 16));
}

struct TcpRow {
  int localPort;
  int remotePort;
  int state;        // the kernel's TCP_* number
  int64_t txQueue;  // bytes not acknowledged yet; a listener's queue limit
  int64_t rxQueue;  // bytes received and not read yet; a listener's accept queue
};

std::vector<TcpRow> TcpRows() {
  std::vector<TcpRow> rows;
  for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      if (!(fields >> slot >> local >> remote >> state >> queues)) continue;
      const size_t colon = queues.find(':');
      if (colon == std::string::npos) continue;
      rows.push_back({PortOf(local), PortOf(remote), static_cast<int>(std::strtol(state.c_str(), nullptr, 16)),
                      std::strtoll(queues.substr(0, colon).c_str(), nullptr, 16),
                      std::strtoll(queues.c_str() + colon + 1, nullptr, 16)});
    }
  }
  return rows;
}

int PortOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

}  // namespace

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

namespace {

// The descriptors thread `tid` waits on in poll() or ppoll(); false when it
// is not asleep in one.
bool PollSetOf(pid_t tid, std::vector<pollfd>& set) {
  // "NR ARG1 ARG2 ..." while the thread is blocked in a system call; "running"
  // while it runs. For poll and ppoll the first two arguments are the array of
  // pollfd and its length, in this process's own memory.
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string nr, fds, count;
  if (!(in >> nr >> fds >> count)) return false;
  if (nr == "running" || !IsPollCall(std::strtol(nr.c_str(), nullptr, 10))) return false;
  const unsigned long long address = std::strtoull(fds.c_str(), nullptr, 16);
  const unsigned long long n = std::strtoull(count.c_str(), nullptr, 16);
  if (n > 64) return false;
  // Read through /proc/self/mem: the thread may leave its poll meanwhile, and
  // this read never faults on memory that has gone.
  const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (mem < 0) return false;
  set.assign(n, pollfd{});
  const ssize_t want = static_cast<ssize_t>(n * sizeof(pollfd));
  const bool read = want == 0 || ::pread(mem, set.data(), static_cast<size_t>(want), static_cast<off_t>(address)) == want;
  ::close(mem);
  return read;
}

}  // namespace

bool ThreadWaitsInPoll(pid_t tid, int fd) {
  std::vector<pollfd> set;
  if (!PollSetOf(tid, set)) return false;
  if (fd < 0) return true;
  for (const pollfd& p : set) {
    if (p.fd == fd) return true;
  }
  return false;
}

bool SomeThreadWaitsOnPeer(uint16_t port) {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool found = false;
  while (dirent* e = ::readdir(tasks)) {
    if (found || e->d_name[0] == '.') continue;
    std::vector<pollfd> set;
    if (!PollSetOf(static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10)), set)) continue;
    for (const pollfd& p : set) {
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      if (p.fd >= 0 && ::getpeername(p.fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && PortOf(peer) == port) {
        found = true;
      }
    }
  }
  ::closedir(tasks);
  return found;
}

bool WaitThreadWaitsInPoll(pid_t tid, int fd, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ThreadWaitsInPoll(tid, fd)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int ConnectsInProgressTo(uint16_t port) {
  int n = 0;
  for (const TcpRow& row : TcpRows()) {
    if (row.remotePort == port && row.state == kSynSent) ++n;
  }
  return n;
}

int AcceptQueueOf(uint16_t port, int& limit) {
  for (const TcpRow& row : TcpRows()) {
    if (row.localPort == port && row.state == kListen) {
      limit = static_cast<int>(row.txQueue);
      return static_cast<int>(row.rxQueue);
    }
  }
  return -1;
}

int64_t BytesSentOn(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  if (len < offsetof(tcp_info, tcpi_bytes_sent) + sizeof info.tcpi_bytes_sent) return -1;
  return static_cast<int64_t>(info.tcpi_bytes_sent);
}

int64_t UnreadAtPeer(int fd) {
  sockaddr_storage self{}, peer{};
  socklen_t selfLen = sizeof self, peerLen = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLen) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
    return -1;
  }
  // The peer socket is the one whose own port is our peer's and whose remote
  // port is ours (on loopback both ends are on this machine).
  for (const TcpRow& row : TcpRows()) {
    if (row.localPort == PortOf(peer) && row.remotePort == PortOf(self) && row.state == kEstablished) {
      return row.rxQueue;
    }
  }
  return -1;
}

int64_t UnsentBytes(int fd) {
  int queued = 0;
  if (::ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

}  // namespace sorvik::test
