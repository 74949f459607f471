// TLS tunnel benchmark: a Sorvik tunnel with "SSL Host" and stunnel in client
// mode (client = yes) side by side, both in front of the same local TLS server
// (stunnel in server mode before a plain back end in this process), session
// resumption off everywhere. Prints bulk throughput both ways, full handshakes
// per second and resident memory per open TLS connection, with ratios.
//
//   tls_bench [megabytes=512] [handshake-seconds=3] [connections=200]
//
// The tunnel runs in a child process of its own so that its memory is measured
// apart from the back end and the clients. Needs stunnel and openssl in PATH.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tunnel/kestrune_item.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- small socket helpers (bench thread contract: each socket is used by one thread) ----

bool PortFree(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

uint16_t PickPort() {
  static std::mt19937 rng(static_cast<unsigned>(::getpid()) * 7919u);
  for (;;) {
    uint16_t p = static_cast<uint16_t>(20000 + rng() % 12000);
    if (PortFree(p)) return p;
  }
}

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
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

bool WaitPort(uint16_t port, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 50) {
    int fd = Connect(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Reads exactly n bytes (false on EOF or error).
bool RecvAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// ---- the plain back end behind the TLS server ----
// Command byte, then: 'D' + 8-byte count: sends count bytes and closes;
// 'U' + 8-byte count: reads count bytes, answers 'K'; 'H': answers 'h'.
// After its answer each connection waits for the peer to close.
class Backend {
 public:
  Backend() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 512);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    // Acceptor thread, detached: it lives until the process exits.
    std::thread([this] {
      for (;;) {
        int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread([fd] { Serve(fd); }).detach();
      }
    }).detach();
  }
  uint16_t Port() const { return port_; }

 private:
  static void Serve(int fd) {
    static const std::string block(1 << 20, 'b');
    char cmd = 0;
    uint64_t n = 0;
    if (RecvAll(fd, &cmd, 1)) {
      if (cmd == 'D' && RecvAll(fd, reinterpret_cast<char*>(&n), 8)) {
        while (n > 0) {
          size_t k = n < block.size() ? static_cast<size_t>(n) : block.size();
          if (!SendAll(fd, block.data(), k)) break;
          n -= k;
        }
      } else if (cmd == 'U' && RecvAll(fd, reinterpret_cast<char*>(&n), 8)) {
        std::vector<char> buf(1 << 16);
        while (n > 0) {
          ssize_t r = ::recv(fd, buf.data(), n < buf.size() ? static_cast<size_t>(n) : buf.size(), 0);
          if (r <= 0) break;
          n -= static_cast<uint64_t>(r);
        }
        SendAll(fd, "K", 1);
      } else if (cmd == 'H') {
        SendAll(fd, "h", 1);
      }
      char sink[4096];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
    }
    ::close(fd);
  }
  int listen_ = -1;
  uint16_t port_ = 0;
};

pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

struct Figures {
  double downGbit = 0, upGbit = 0, handshakesPerSec = 0, kbPerConnection = 0;
};

Figures Measure(uint16_t entry, pid_t process, uint64_t bytes, int handshakeSeconds, int connections) {
  Figures f;
  // Throughput, server to client.
  {
    int fd = Connect(entry);
    std::string cmd = "D" + std::string(reinterpret_cast<const char*>(&bytes), 8);
    auto start = Clock::now();
    SendAll(fd, cmd.data(), cmd.size());
    std::vector<char> buf(1 << 16);
    uint64_t got = 0;
    while (got < bytes) {
      ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
      if (r <= 0) break;
      got += static_cast<uint64_t>(r);
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    f.downGbit = got == bytes ? static_cast<double>(bytes) * 8 / s / 1e9 : 0;
    ::close(fd);
  }
  // Throughput, client to server.
  {
    int fd = Connect(entry);
    std::string cmd = "U" + std::string(reinterpret_cast<const char*>(&bytes), 8);
    static const std::string block(1 << 20, 'u');
    auto start = Clock::now();
    SendAll(fd, cmd.data(), cmd.size());
    uint64_t left = bytes;
    while (left > 0) {
      size_t k = left < block.size() ? static_cast<size_t>(left) : block.size();
      if (!SendAll(fd, block.data(), k)) break;
      left -= k;
    }
    char k = 0;
    bool ok = RecvAll(fd, &k, 1) && k == 'K';
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    f.upGbit = ok ? static_cast<double>(bytes) * 8 / s / 1e9 : 0;
    ::close(fd);
  }
  // Full handshakes per second: 4 clients, each connect / one byte each way / close.
  {
    std::atomic<long> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    auto start = Clock::now();
    for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&] {
        while (!stop) {
          int fd = Connect(entry);
          if (fd < 0) continue;
          char c = 0;
          if (SendAll(fd, "H", 1) && RecvAll(fd, &c, 1) && c == 'h') done++;
          ::close(fd);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::seconds(handshakeSeconds));
    stop = true;
    for (auto& t : clients) t.join();
    f.handshakesPerSec = static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
  }
  // Resident memory per open TLS connection.
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long before = RssKb(process);
    std::vector<int> open;
    for (int i = 0; i < connections; ++i) {
      int fd = Connect(entry);
      char c = 0;
      if (fd >= 0 && SendAll(fd, "H", 1) && RecvAll(fd, &c, 1)) open.push_back(fd);
      else if (fd >= 0) ::close(fd);
    }
    long after = RssKb(process);
    f.kbPerConnection = open.empty() ? 0 : static_cast<double>(after - before) / static_cast<double>(open.size());
    for (int fd : open) ::close(fd);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int connections = argc > 3 ? std::atoi(argv[3]) : 200;
  if (std::system("command -v stunnel >/dev/null && command -v openssl >/dev/null") != 0) {
    std::printf("tls_bench: stunnel or openssl missing, nothing measured\n");
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  char dirTemplate[] = "/tmp/sorvik-tls-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dirTemplate);
  const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  std::system(("openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=localhost -keyout " + key +
               " -out " + cert + " 2>/dev/null")
                  .c_str());

  const uint16_t tlsPort = PickPort(), tunnelPort = PickPort(), stunnelClientPort = PickPort();

  // The tunnel, in a child made before any thread exists.
  int ready[2];
  if (::pipe(ready) != 0) return 1;
  pid_t tunnelPid = ::fork();
  if (tunnelPid == 0) {
    ::close(ready[0]);
    sorvik::TKestruneItem tunnel;
    tunnel.Server = "127.0.0.1";
    tunnel.Port = tlsPort;
    tunnel.Mapped = tunnelPort;
    tunnel.SSLHost = true;
    tunnel.ProxyType = 9;
    bool ok = false;
    try {
      ok = tunnel.Start();
    } catch (...) {
    }
    char c = ok ? 'r' : 'f';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &c, 1);
    for (;;) ::pause();  // until the parent's SIGKILL
  }
  ::close(ready[1]);
  char c = 0;
  if (::read(ready[0], &c, 1) != 1 || c != 'r') {
    std::printf("tls_bench: the tunnel did not start\n");
    return 1;
  }

  Backend backend;
  const std::string common = "foreground = yes\npid =\nsessionResume = no\ndebug = 3\n";
  {
    std::ofstream s(dir + "/server.conf");
    s << common << "[server]\naccept = 127.0.0.1:" << tlsPort << "\nconnect = 127.0.0.1:" << backend.Port()
      << "\ncert = " << cert << "\nkey = " << key << "\n";
    std::ofstream cl(dir + "/client.conf");
    cl << common << "[client]\nclient = yes\naccept = 127.0.0.1:" << stunnelClientPort
       << "\nconnect = 127.0.0.1:" << tlsPort << "\n";
  }
  pid_t serverPid = Spawn({"stunnel", dir + "/server.conf"});
  pid_t clientPid = Spawn({"stunnel", dir + "/client.conf"});
  if (!WaitPort(tlsPort) || !WaitPort(stunnelClientPort) || !WaitPort(tunnelPort)) {
    std::printf("tls_bench: a peer did not come up\n");
    return 1;
  }

  const uint64_t bytes = megabytes << 20;
  std::printf("TLS tunnel benchmark: %llu MB each way, %d s of handshakes (4 clients), %d open connections\n",
              static_cast<unsigned long long>(megabytes), seconds, connections);
  Figures sorvik = Measure(tunnelPort, tunnelPid, bytes, seconds, connections);
  Figures stunnel = Measure(stunnelClientPort, clientPid, bytes, seconds, connections);
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("%-28s %12s %12s %8s\n", "", "sorvik", "stunnel", "ratio");
  std::printf("%-28s %12.2f %12.2f %8.2f\n", "throughput down (Gbit/s)", sorvik.downGbit, stunnel.downGbit,
              ratio(sorvik.downGbit, stunnel.downGbit));
  std::printf("%-28s %12.2f %12.2f %8.2f\n", "throughput up (Gbit/s)", sorvik.upGbit, stunnel.upGbit,
              ratio(sorvik.upGbit, stunnel.upGbit));
  std::printf("%-28s %12.0f %12.0f %8.2f\n", "full handshakes per second", sorvik.handshakesPerSec,
              stunnel.handshakesPerSec, ratio(sorvik.handshakesPerSec, stunnel.handshakesPerSec));
  std::printf("%-28s %12.1f %12.1f %8.2f\n", "KB resident per connection", sorvik.kbPerConnection,
              stunnel.kbPerConnection, ratio(sorvik.kbPerConnection, stunnel.kbPerConnection));

  for (pid_t p : {tunnelPid, serverPid, clientPid}) {
    ::kill(p, SIGKILL);
    ::waitpid(p, nullptr, 0);
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
