#include "support/net_fixtures.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/kernel_state.h"

namespace sorvik::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on fd; bounded by timeoutMs. True when ready.
bool WaitFd(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool SendAllFd(int fd, const char* p, size_t n, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFd(fd, POLLOUT, RemainingMs(deadline)) && RemainingMs(deadline) == 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

uint16_t FreePort() {
  static std::mt19937 rng(static_cast<uint32_t>(::getpid()) ^ static_cast<uint32_t>(Clock::now().time_since_epoch().count()));
  static std::mutex m;
  std::lock_guard<std::mutex> lock(m);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    auto port = static_cast<uint16_t>(10000 + rng() % 22768);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a = Loopback(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    // Also make sure nothing listens there on the wildcard address.
    ::close(fd);
    if (!ok) continue;
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    ok = ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
    ::close(fd);
    if (ok) return port;
  }
  return 0;
}

int ListenLoopback(uint16_t& port, int backlog, bool ipv6) {
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  } else {
    *reinterpret_cast<sockaddr_in*>(&ss) = Loopback(0);
    len = sizeof(sockaddr_in);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
              : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

UnansweredListener::UnansweredListener() {
  listen_fd_ = ListenLoopback(port_, 0);
  if (listen_fd_ < 0) {
    port_ = 0;
    return;
  }
  // Fill the accept queue (nobody accepts) until the kernel counts it full:
  // from then on it drops every SYN to this port, so a connect gets no answer.
  // Each filler is waited for until it is in the queue (on a loaded machine
  // the handshake may finish after connect() has returned).
  for (int i = 0; i < 16; ++i) {
    int limit = 0;
    const int queued = AcceptQueueOf(port_, limit);
    if (queued < 0) break;
    if (queued > limit) return;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
    if (!WaitUntil([&] { return AcceptQueueOf(port_, limit) > queued; }, 30000)) break;
  }
  port_ = 0;
}

UnansweredListener::~UnansweredListener() {
  for (int fd : fillers_) close(fd);
  if (listen_fd_ >= 0) close(listen_fd_);
}

namespace {
int CountDirEntries(const char* path) {
  DIR* d = ::opendir(path);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}
}  // namespace

int CountOpenFds() {
  return CountDirEntries("/proc/self/fd") - 1;  // minus the directory stream itself
}

int CountThreads() { return CountDirEntries("/proc/self/task"); }

std::string CongestionControl(int fd) {
  char name[16] = {};  // TCP_CA_NAME_MAX
  socklen_t len = sizeof name;
  if (getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &len) != 0) return "";
  return name;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t v = rng();
    std::memcpy(&s[i], &v, 4);
  }
  for (; i < n; ++i) s[i] = static_cast<char>(rng());
  return s;
}

// ---------------------------------------------------------------------------
// BlockingClient

BlockingClient::BlockingClient(uint16_t port, const std::string& host, int timeoutMs)
    : BlockingClient(port, host, timeoutMs, std::string()) {}

BlockingClient::BlockingClient(uint16_t port, const std::string& host, int timeoutMs, const std::string& from) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  if (!from.empty()) {
    sockaddr_in local = Loopback(0);
    if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return;
    }
  }
  sockaddr_in a = Loopback(port);
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (r != 0 && errno == EINPROGRESS) {
    if (WaitFd(fd, POLLOUT, timeoutMs)) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      r = err == 0 ? 0 : -1;
    }
  }
  if (r != 0) {
    ::close(fd);
    return;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
}

BlockingClient::~BlockingClient() { Close(); }

uint16_t BlockingClient::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool BlockingClient::SendAll(std::string_view data, int timeoutMs) {
  return fd_ >= 0 && SendAllFd(fd_, data.data(), data.size(), timeoutMs);
}

std::string BlockingClient::RecvExact(size_t n, int timeoutMs) {
  std::string out;
  if (fd_ < 0) return out;
  out.resize(n);
  size_t got = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < n) {
    ssize_t r = ::recv(fd_, &out[got], n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (RemainingMs(deadline) == 0 || !WaitFd(fd_, POLLIN, RemainingMs(deadline))) {
      if (RemainingMs(deadline) == 0) break;
    }
  }
  out.resize(got);
  return out;
}

std::string BlockingClient::RecvUntilClosed(int timeoutMs) {
  std::string out;
  if (fd_ < 0) return out;
  char buf[65536];
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
      continue;
    }
    if (r == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (RemainingMs(deadline) == 0) break;
    WaitFd(fd_, POLLIN, RemainingMs(deadline));
  }
  return out;
}

bool BlockingClient::WaitClosed(int timeoutMs) {
  if (fd_ < 0) return true;
  char buf[65536];
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) return true;
    if (r > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return true;  // reset
    if (RemainingMs(deadline) == 0) return false;
    WaitFd(fd_, POLLIN, RemainingMs(deadline));
  }
}

bool BlockingClient::StaysSilent(int ms) {
  if (fd_ < 0) return false;
  if (WaitFd(fd_, POLLIN, ms)) return false;
  return true;
}

void BlockingClient::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void BlockingClient::Close(bool reset) {
  if (fd_ < 0) return;
  if (reset) {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  ::close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------
// EchoServer

EchoServer::EchoServer(bool ipv6) {
  listen_fd_ = ListenLoopback(port_, 1024, ipv6);
  if (listen_fd_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
}

EchoServer::~EchoServer() { Stop(); }

// Acceptor thread: polls every 50 ms for the stop flag.
void EchoServer::AcceptLoop() {
  while (!stop_.load()) {
    if (!WaitFd(listen_fd_, POLLIN, 50)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    ++accepted_;
    ++open_;
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

// Connection thread: echoes until the peer closes or Stop() (50 ms polls).
void EchoServer::Serve(int fd) {
  char buf[65536];
  while (!stop_.load()) {
    if (!WaitFd(fd, POLLIN, 50)) continue;
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (!SendAllFd(fd, buf, static_cast<size_t>(r), 30000)) break;
  }
  ::close(fd);
  --open_;
}

void EchoServer::Stop() {
  if (stop_.exchange(true)) return;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

// ---------------------------------------------------------------------------
// StubbornPeer

StubbornPeer::StubbornPeer(Kind kind) : kind_(kind) {
  listen_fd_ = ListenLoopback(port_, 64);
  // Accepted sockets take the listener's receive buffer: the smallest the
  // system allows, so that a remote that never reads fills up at once.
  if (listen_fd_ >= 0 && kind_ == kNeverReads) {
    int tiny = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  }
  if (listen_fd_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
}

StubbornPeer::~StubbornPeer() { Stop(); }

// Acceptor thread: polls every 50 ms for the stop flag.
void StubbornPeer::AcceptLoop() {
  while (!stop_.load()) {
    if (!WaitFd(listen_fd_, POLLIN, 50)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

// Connection thread, in 50 ms polls for the stop flag: never reads; sends
// without end (kNeverStopsSending) until a send fails, or waits for the
// other side's close or reset (kNeverReads).
void StubbornPeer::Serve(int fd) {
  // Large sends into a large buffer: the other side always finds bytes to read.
  const std::string chunk = RandomBytes(kind_ == kNeverStopsSending ? 1u << 20 : 1, 17);
  if (kind_ == kNeverStopsSending) {
    int big = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }
  bool ended = false;
  while (!stop_.load() && !ended) {
    if (kind_ == kNeverReads) {
      pollfd p{fd, POLLRDHUP, 0};
      ended = ::poll(&p, 1, 50) > 0;
      continue;
    }
    if (!WaitFd(fd, POLLOUT, 50)) continue;
    ssize_t r = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (r > 0) {
      sent_ += static_cast<uint64_t>(r);
    } else if (r < 0 && errno != EINTR && errno != EAGAIN) {
      ended = true;
    }
  }
  if (ended) ++ended_;
  ::close(fd);
}

void StubbornPeer::Stop() {
  if (stop_.exchange(true)) return;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

// ---------------------------------------------------------------------------
// FakePeer

FakePeer::FakePeer(std::vector<PeerStep> script) : script_(std::move(script)) {
  listen_fd_ = ListenLoopback(port_, 1024);
  if (listen_fd_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakePeer::~FakePeer() { Stop(); }

// Acceptor thread: polls every 50 ms for the stop flag.
void FakePeer::AcceptLoop() {
  while (!stop_.load()) {
    if (!WaitFd(listen_fd_, POLLIN, 50)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    size_t index = received_.size();
    received_.emplace_back();
    ++accepted_;
    threads_.emplace_back([this, fd, index] { Serve(fd, index); });
  }
}

// Connection thread: runs the script; every wait is a 50 ms poll that checks
// the stop flag.
void FakePeer::Serve(int fd, size_t index) {
  auto record = [&](const char* p, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_[index].append(p, n);
  };
  auto receivedSize = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_[index].size();
  };
  auto endsWith = [&](const std::string& delim) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string& s = received_[index];
    return s.size() >= delim.size() && s.compare(s.size() - delim.size(), delim.size(), delim) == 0;
  };
  // Reads at most `limit` bytes (one byte at a time for delimiters); false when
  // the connection ended or the peer is stopping.
  auto readSome = [&](size_t limit) {
    char buf[65536];
    while (!stop_.load()) {
      if (!WaitFd(fd, POLLIN, 50)) continue;
      ssize_t r = ::recv(fd, buf, std::min(limit, sizeof buf), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      record(buf, static_cast<size_t>(r));
      return true;
    }
    return false;
  };
  bool alive = true;
  bool closed = false;
  for (const PeerStep& step : script_) {
    if (!alive || closed) break;
    switch (step.kind) {
      case PeerStep::kExpect: {
        size_t target = receivedSize() + step.count;
        while (alive && receivedSize() < target) alive = readSome(target - receivedSize());
        break;
      }
      case PeerStep::kExpectUntil:
        while (alive && !endsWith(step.bytes)) alive = readSome(1);
        break;
      case PeerStep::kSend:
        alive = SendAllFd(fd, step.bytes.data(), step.bytes.size(), 10000);
        break;
      case PeerStep::kSendSlowly: {
        size_t piece = step.count ? step.count : 1;
        for (size_t off = 0; alive && off < step.bytes.size(); off += piece) {
          alive = SendAllFd(fd, step.bytes.data() + off, std::min(piece, step.bytes.size() - off), 10000);
          std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        }
        break;
      }
      case PeerStep::kClose:
        closed = true;
        break;
      case PeerStep::kReset: {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closed = true;
        break;
      }
      case PeerStep::kNeverAnswer:
        while (alive) alive = readSome(65536);
        break;
      case PeerStep::kSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        break;
      case PeerStep::kAwait:
        WaitUntil([&] { return stop_.load() || step.state(); }, 30000);
        break;
      case PeerStep::kExpectEnd:
        while (alive) alive = readSome(65536);
        alive = true;  // the peer's end of stream; this side may still send
        break;
      case PeerStep::kEndSending:
        ::shutdown(fd, SHUT_WR);
        break;
      case PeerStep::kSendWhileReading: {
        size_t off = 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(30000);
        bool peerEnded = false;
        while (alive && off < step.bytes.size() && !stop_.load() && Clock::now() < deadline) {
          pollfd p{fd, static_cast<short>(POLLOUT | (peerEnded ? 0 : POLLIN)), 0};
          if (::poll(&p, 1, 50) <= 0) continue;
          if (p.revents & POLLIN) {
            char buf[65536];
            ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) record(buf, static_cast<size_t>(r));
            if (r == 0) peerEnded = true;
            if (r < 0 && errno != EAGAIN && errno != EINTR) alive = false;
          }
          if (p.revents & (POLLOUT | POLLERR | POLLHUP)) {
            ssize_t w = ::send(fd, step.bytes.data() + off, step.bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) off += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN && errno != EINTR) alive = false;
          }
        }
        if (off < step.bytes.size()) alive = false;
        break;
      }
    }
  }
  // After the script: keep recording until the peer closes or Stop().
  while (alive && !closed) alive = readSome(65536);
  ::close(fd);
  ++finished_;
}

std::string FakePeer::Received(size_t i) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return i < received_.size() ? received_[i] : std::string();
}

bool FakePeer::WaitAccepted(int n, int timeoutMs) const {
  return WaitUntil([&] { return accepted_.load() >= n; }, timeoutMs);
}

bool FakePeer::WaitReceived(size_t i, size_t n, int timeoutMs) const {
  return WaitUntil([&] { return Received(i).size() >= n; }, timeoutMs);
}

bool FakePeer::WaitFinished(int n, int timeoutMs) const {
  return WaitUntil([&] { return finished_.load() >= n; }, timeoutMs);
}

void FakePeer::Stop() {
  if (stop_.exchange(true)) return;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

// ---------------------------------------------------------------------------
// TempDir and ChildProcess

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "sorvik-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data())) path_ = tmpl;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::string full = path_ + "/" + name;
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full;
}

bool ProgramAvailable(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    for (const char* extra : {"", "/../sbin"}) {
      std::string full = dir + extra + "/" + program;
      if (::access(full.c_str(), X_OK) == 0) return true;
    }
  }
  for (const char* d : {"/usr/sbin/", "/sbin/"}) {
    if (::access((std::string(d) + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

ChildProcess::ChildProcess(std::vector<std::string> argv) {
  if (argv.empty() || dir_.Path().empty()) return;
  argv0_ = argv.front();
  std::string out = dir_.Path() + "/stdout.txt";
  std::string err = dir_.Path() + "/stderr.txt";
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  // Daemons in /usr/sbin are often outside a test runner's PATH.
  std::string path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    // The child has a process group of its own, so a signal that ends the test
    // program (crash, sanitizer abort, a runner's time-out) does not reach it:
    // have the kernel end it when the test program goes, however it goes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(126);  // the program ended before prctl
    if (::chdir(dir_.Path().c_str()) != 0) _exit(126);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = ::open("/dev/null", O_RDONLY);
    if (o >= 0) ::dup2(o, 1);
    if (e >= 0) ::dup2(e, 2);
    if (n >= 0) ::dup2(n, 0);
    ::setenv("PATH", path.c_str(), 1);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  pgid_ = pid_;
}

void ChildProcess::Reaped(int status) {
  pid_ = -1;
  status_ = status;
  // Helpers the child left in its group (forked workers of a daemon, a
  // background command of a script) would run on unowned: end them now, while
  // the group's number cannot yet belong to anyone else.
  if (pgid_ > 0) ::kill(-pgid_, SIGKILL);
  pgid_ = -1;
  // The program under ThreadSanitizer reports a race on its standard error
  // (and ends or goes on, as TSAN_OPTIONS say): the test fails either way,
  // whatever else it checks of the child.
  const std::string err = Stderr();
  if (err.find("WARNING: ThreadSanitizer:") != std::string::npos)
    ADD_FAILURE() << "the child " << argv0_ << " reported a data race:\n" << err;
}

ChildProcess::~ChildProcess() { Stop(); }

std::string ChildProcess::Stdout() const {
  std::ifstream in(dir_.Path() + "/stdout.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ChildProcess::Stderr() const {
  std::ifstream in(dir_.Path() + "/stderr.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int st = 0;
  pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    Reaped(st);
    return false;
  }
  return r == 0;
}

bool ChildProcess::WaitForPort(uint16_t port, int timeoutMs) {
  return WaitUntil(
      [&] {
        if (!Running()) return true;  // ends the wait; checked below
        BlockingClient probe(port, "127.0.0.1", 200);
        return probe.Connected();
      },
      timeoutMs) &&
         Running();
}

int ChildProcess::Stop() {
  if (pid_ <= 0) return status_;
  ::kill(-pid_, SIGTERM);
  ::kill(pid_, SIGTERM);
  int st = -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopGraceMs);
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      Reaped(st);
      return st;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &st, 0);
  Reaped(st);
  return st;
}

}  // namespace sorvik::test
