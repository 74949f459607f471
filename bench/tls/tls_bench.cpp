// TLS tunnel benchmark: a Sorvik tunnel with "SSL Host" and stunnel in client
// mode (client = yes) side by side, all in front of the same local TLS server
// (stunnel in server mode before a plain back end in this process), session
// resumption off everywhere. The tunnel runs twice: as the real program
// (`sorvik --headless` with a settings file as a user writes it, standard
// output to a pipe that this benchmark reads) and as the engine alone (a
// TKestruneItem in a child process). Prints bulk throughput both ways with the
// relay's CPU time per GiB, full handshakes per second, a burst of connects at
// once (listen-queue overflows from /proc/net/netstat, time until all are open
// and have answered), proportional memory per open TLS connection and the time
// to stop with them open, each with its ratio to stunnel.
//
//   tls_bench [--mib N] [--handshake-seconds N] [--conns N] [--burst N]
//             [--program PATH] [--before PATH] [--rounds N]
//
// --before runs an earlier build of the program the same way, as one more
// column. Every tunnel is measured --rounds times (default 3), all of them in
// turn in each round; the table shows the median of each figure. Needs
// stunnel and openssl in PATH.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "tunnel/kestrune_item.h"

namespace {

using namespace bench;

using Clock = std::chrono::steady_clock;

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

struct Figures {
  double downGbit = 0, upGbit = 0, cpuPerGiB = -1, handshakesPerSec = 0;
  double burstOverflows = -1, burstSeconds = -1, kibPerConnection = 0, stopMs = -1;
  int burstFailed = 0;
};

// `n` connects issued at once; each sends 'H' once connected and is done at the
// answer 'h' (which needs the TLS leg up). Bounded by `limitS`.
void Burst(uint16_t entry, int n, double limitS, Figures& f) {
  EchoRound r = ConnectAndEcho(entry, n, limitS, "H", 'h', 256);
  f.burstFailed = r.failed;
  f.burstSeconds = r.until_all_s;
  f.burstOverflows = r.overflows;
  for (int fd : r.fds) {
    if (fd >= 0) ::close(fd);
  }
}

struct Options {
  uint64_t mib = 512;
  int seconds = 3;
  int connections = 200;
  int burst = 2000;
  double burstLimitS = 15;
  std::string program = SORVIK_PROGRAM;
  std::string before;
  int rounds = 3;  // every tunnel is measured this often, in turn; the table shows medians
};

// `stop` ends the tunnel process with the connections open and returns its time in ms (or -1).
template <class Stop>
Figures Measure(const char* name, uint16_t entry, pid_t process, const Options& o, Stop stop) {
  Figures f;
  const uint64_t bytes = o.mib << 20;
  std::fprintf(stderr, "[%s] bulk...\n", name);
  const double cpu0 = StatCpuSeconds("/proc/" + std::to_string(process) + "/stat", true);
  // Throughput, server to client.
  {
    int fd = Connect(entry);
    std::string cmd(1, 'D');
    cmd.append(reinterpret_cast<const char*>(&bytes), 8);
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
    std::string cmd(1, 'U');
    cmd.append(reinterpret_cast<const char*>(&bytes), 8);
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
  f.cpuPerGiB = (StatCpuSeconds("/proc/" + std::to_string(process) + "/stat", true) - cpu0) / (2.0 * static_cast<double>(bytes) / (1 << 30));
  // Full handshakes per second: 4 clients, each connect / one byte each way / close.
  std::fprintf(stderr, "[%s] handshakes...\n", name);
  {
    std::atomic<long> done{0};
    std::atomic<bool> stopClients{false};
    std::vector<std::thread> clients;
    auto start = Clock::now();
    for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&] {
        while (!stopClients) {
          int fd = Connect(entry);
          if (fd < 0) continue;
          char c = 0;
          if (SendAll(fd, "H", 1) && RecvAll(fd, &c, 1) && c == 'h') done++;
          ::close(fd);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
    stopClients = true;
    for (auto& t : clients) t.join();
    f.handshakesPerSec = static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::fprintf(stderr, "[%s] burst of %d...\n", name, o.burst);
  const long threads = ThreadCount(process);
  Burst(entry, o.burst, o.burstLimitS, f);
  // The threads made for the burst are gone (at most 10 s) before memory is measured.
  for (int i = 0; i < 200 && ThreadCount(process) > threads; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Memory per open TLS connection.
  std::fprintf(stderr, "[%s] %d open connections...\n", name, o.connections);
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long before = PssKiB(process);
    std::vector<int> open;
    for (int i = 0; i < o.connections; ++i) {
      int fd = Connect(entry);
      char c = 0;
      if (fd >= 0 && SendAll(fd, "H", 1) && RecvAll(fd, &c, 1)) open.push_back(fd);
      else if (fd >= 0) ::close(fd);
    }
    long after = PssKiB(process);
    f.kibPerConnection = open.empty() ? 0 : static_cast<double>(after - before) / static_cast<double>(open.size());
    f.stopMs = stop();
    for (int fd : open) ::close(fd);
  }
  return f;
}

// The median of each figure over the rounds (the mean of the middle two for an
// even count); the most failed burst connections of any round.
std::map<std::string, Figures> Medians(const std::map<std::string, std::vector<Figures>>& rounds) {
  std::map<std::string, Figures> out = FieldMedians<Figures>(
      rounds, {&Figures::downGbit, &Figures::upGbit, &Figures::cpuPerGiB, &Figures::handshakesPerSec,
               &Figures::burstOverflows, &Figures::burstSeconds, &Figures::kibPerConnection, &Figures::stopMs});
  for (auto& [name, m] : out) {
    for (const Figures& f : rounds.at(name)) m.burstFailed = std::max(m.burstFailed, f.burstFailed);
  }
  return out;
}


// SIGTERM, timed until the process has exited.
double StopProcess(pid_t pid) {
  auto t0 = Clock::now();
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  return std::chrono::duration<double>(Clock::now() - t0).count() * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const long v = std::atol(argv[i + 1]);
    if (a == "--mib") o.mib = static_cast<uint64_t>(v);
    else if (a == "--handshake-seconds") o.seconds = static_cast<int>(v);
    else if (a == "--conns") o.connections = static_cast<int>(v);
    else if (a == "--burst") o.burst = static_cast<int>(v);
    else if (a == "--program") o.program = argv[i + 1];
    else if (a == "--before") o.before = argv[i + 1];
    else if (a == "--rounds") o.rounds = std::max(1, static_cast<int>(v));
    else {
      std::fprintf(stderr,
                   "usage: %s [--mib N] [--handshake-seconds N] [--conns N] [--burst N] [--program PATH] "
                   "[--before PATH] [--rounds N]\n",
                   argv[0]);
      return 2;
    }
  }
  if (std::system("command -v stunnel >/dev/null && command -v openssl >/dev/null") != 0) {
    std::printf("tls_bench: stunnel or openssl missing, nothing measured\n");
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  char dirTemplate[] = "/tmp/sorvik-tls-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dirTemplate);
  const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  std::system(("openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=localhost -keyout " + key +
               " -out " + cert + " 2>/dev/null")
                  .c_str());

  const uint16_t tlsPort = FreePort(), enginePort = FreePort(), stunnelClientPort = FreePort();

  // The engine alone, in a child made before any thread exists.
  int ready[2];
  if (::pipe(ready) != 0) return 1;
  pid_t enginePid = ::fork();
  if (enginePid == 0) {
    ::close(ready[0]);
    sorvik::TKestruneItem tunnel;
    tunnel.Settings.Server = "127.0.0.1";
    tunnel.Settings.Port = tlsPort;
    tunnel.Settings.Mapped = enginePort;
    tunnel.Settings.SSLHost = true;
    tunnel.Settings.ProxyType = sorvik::ProxyTypeOfNumber(9);
    bool ok = false;
    try {
      ok = tunnel.Start();
    } catch (...) {
    }
    char c = ok ? 'r' : 'f';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &c, 1);
    for (;;) ::pause();  // until the parent's SIGTERM or SIGKILL
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
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t serverPid = Spawn({"stunnel", dir + "/server.conf"}, devnull);
  if (!WaitPort(tlsPort) || !WaitPort(enginePort)) {
    std::printf("tls_bench: a peer did not come up\n");
    return 1;
  }

  std::printf("TLS tunnel benchmark: %llu MiB each way, %d s of handshakes (4 clients), burst of %d, %d open\n",
              static_cast<unsigned long long>(o.mib), o.seconds, o.burst, o.connections);
  std::map<std::string, Figures> results;            // of the round under way
  std::map<std::string, std::vector<Figures>> rounds;  // every round's figures

  // The program: a settings file as a user writes it (one TLS tunnel, the
  // default log switches of a new tunnel, started by the autostart pass at once).
  auto program = [&](const char* name, const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "[%s] %s is not there; build the target sorvik or pass --program\n", name, path.c_str());
      return;
    }
    const uint16_t port = FreePort();
    const std::string data = dir + "/" + name;
    ::mkdir(data.c_str(), 0700);
    std::ofstream(data + "/sorvik.ini") << "[Options]\nAutostartDelay=0\n\n"
                                        << "[Tunnel:0]\nServer=127.0.0.1\nPort=" << tlsPort << "\nMapped=" << port
                                        << "\nAutostart=1\nProxyType=0\nLogServerErrors=1\nLogToServer=1\n"
                                        << "LogFromServer=0\nSSLHost=1\nLocalAccess=1\nTunnelCaption=bench\n";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    OutputDrain drain;
    drain.Start(out[0]);
    pid_t pid = Spawn({path, "--headless", "--data-dir", data}, out[1]);
    ::close(out[1]);
    if (!WaitPort(port)) {
      std::fprintf(stderr, "[%s] did not start\n", name);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    } else {
      results[name] = Measure(name, port, pid, o, [&] { return StopProcess(pid); });
    }
    drain.Join();
    std::fprintf(stderr, "[%s] %ld log lines on standard output\n", name, drain.lines.load());
  };
  // Every tunnel in turn, o.rounds times, so that a change in the machine's
  // load falls on all of them alike. The stunnel client is started anew each
  // round, as its stop is measured.
  for (int round = 1; round <= o.rounds; ++round) {
    std::fprintf(stderr, "== round %d of %d\n", round, o.rounds);
    if (!o.before.empty()) program("before", o.before);
    program("sorvik", o.program);
    // The engine's child has no stop of its own (SIGTERM just ends it): no stop figure.
    results["engine"] = Measure("engine", enginePort, enginePid, o, [] { return -1.0; });
    pid_t clientPid = Spawn({"stunnel", dir + "/client.conf"}, devnull);
    bool reaped = false;
    if (WaitPort(stunnelClientPort)) {
      results["stunnel"] = Measure("stunnel", stunnelClientPort, clientPid, o, [&] {
        reaped = true;
        return StopProcess(clientPid);
      });
    } else {
      std::fprintf(stderr, "[stunnel] the client did not come up\n");
    }
    if (!reaped) {
      ::kill(clientPid, SIGKILL);
      ::waitpid(clientPid, nullptr, 0);
    }
    for (auto& [name, f] : results) rounds[name].push_back(f);
    results.clear();
  }
  results = Medians(rounds);
  if (!results.count("stunnel")) {
    std::printf("tls_bench: stunnel could not be measured\n");
    return 1;
  }

  const std::vector<TableRow<Figures>> rows = {
                          {"throughput down (Gbit/s)", &Figures::downGbit},
                          {"throughput up (Gbit/s)", &Figures::upGbit},
                          {"relay CPU (s per GiB)", &Figures::cpuPerGiB},
                          {"full handshakes per second", &Figures::handshakesPerSec},
                          {"burst " + std::to_string(o.burst) + ": listen overflows", &Figures::burstOverflows},
                          {"burst " + std::to_string(o.burst) + ": s until all open", &Figures::burstSeconds},
                          {"PSS KiB per open connection", &Figures::kibPerConnection},
                          {"stop with " + std::to_string(o.connections) + " open (ms)", &Figures::stopMs},
  };
  PrintTable<Figures>(results, {"stunnel", "engine", "before", "sorvik"}, rows,
                      {{"sorvik/stunl", "sorvik", "stunnel"},
                       {"engine/stunl", "engine", "stunnel"},
                       {"before/stunl", "before", "stunnel"},
                       {"sorvik/before", "sorvik", "before"}});
  PrintSpread<Figures>(rounds, {"stunnel", "engine", "before", "sorvik"}, rows);
  for (auto& [name, f] : results) {
    if (f.burstFailed > 0) {
      std::printf("NOTE: %s: %d of the %d burst connections had no answer after %.0f s\n", name.c_str(), f.burstFailed,
                  o.burst, o.burstLimitS);
    }
  }
  std::printf("(medians of %d rounds; sorvik: the program run --headless with one TLS tunnel; engine: the\n"
              " tunnel in a child process. CPU, burst, memory and stop ratios: lower is better.)\n",
              o.rounds);

  for (pid_t p : {enginePid, serverPid}) {
    ::kill(p, SIGKILL);
    ::waitpid(p, nullptr, 0);
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
