// Helpers shared by the benchmarks: loopback sockets, child processes and
// their figures from /proc, medians over rounds.
//
// Thread contract: every function may run on any thread; a socket is used by
// one thread at a time. OutputDrain: Start() and Join() on one thread.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace bench {

[[noreturn]] void Die(const char* what);  // perror, exit 1

// Sends or receives exactly `n` bytes; false on error or end of stream.
bool SendAll(int fd, const void* p, size_t n);
bool RecvAll(int fd, void* p, size_t n);
// A blocking TCP connection to 127.0.0.1:`port` (TCP_NODELAY), or -1.
int Connect(uint16_t port);
// A random port below the ephemeral range that nothing on this machine holds.
uint16_t FreePort();
// Until a connect to the port succeeds, at most `ms`.
bool WaitPort(uint16_t port, int ms = 10000);

// Starts argv. Standard output goes to `out` when given; with `quiet`, standard
// input, error (and output without `out`) go to /dev/null.
pid_t Spawn(const std::vector<std::string>& argv, int out = -1, bool quiet = false);
// SIGTERM, then SIGKILL after 2 s; waits for it.
void Kill(pid_t pid);
// `root` and every process below it.
std::vector<pid_t> Descendants(pid_t root);
// Proportional set size (KiB) and threads of one process.
long PssKiB(pid_t pid);
long ThreadCount(pid_t pid);
// Open descriptors of one process (entries of /proc/PID/fd).
long FdCount(pid_t pid);
// The system's load average over 1, 5 and 15 minutes, as /proc/loadavg gives it.
std::string LoadAverage();
// User plus system CPU seconds from a /proc/.../stat file (threads that have
// ended still count in a process's figure); with `children`, also that of its
// children that have ended and were waited for.
double StatCpuSeconds(const std::string& path, bool children = false);
// The kernel's count of connections dropped because a listen queue was full
// (TcpExt ListenOverflows in /proc/net/netstat; this network namespace).
long ListenOverflows();

// What one round of ConnectAndEcho left: every socket still open (-1 where
// none could be made) and which of them echoed.
struct EchoRound {
  std::vector<int> fds;
  std::vector<bool> echoed;
  int failed = 0;           // refused, closed, or unanswered at the time limit
  double until_all_s = -1;  // until the last echo; the limit when some failed
  double overflows = -1;    // listen-queue overflows meanwhile
};

// `n` non-blocking connects to 127.0.0.1:`port` issued back to back; each
// sends `request` once it is connected and has echoed when the byte `answer`
// comes back. Waits until all have echoed or failed, at most `limit_s`;
// `batch` is the number of events taken per epoll_wait. The caller closes the
// sockets.
EchoRound ConnectAndEcho(uint16_t port, int n, double limit_s, const std::string& request, char answer,
                         size_t batch);

// The median of each listed field over the rounds of every relay (the mean of
// the middle two for an even count); the other fields come from the first round.
template <class F>
std::map<std::string, F> FieldMedians(const std::map<std::string, std::vector<F>>& rounds,
                                      std::initializer_list<double F::*> fields) {
  std::map<std::string, F> out;
  for (const auto& [name, list] : rounds) {
    F m = list.front();
    for (double F::*field : fields) {
      std::vector<double> v;
      for (const F& f : list) v.push_back(f.*field);
      std::sort(v.begin(), v.end());
      const size_t n = v.size();
      m.*field = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    out[name] = m;
  }
  return out;
}

// One row of a figures table: its label and the field it shows.
template <class F>
struct TableRow {
  std::string label;
  double F::*field;
};
// A ratio column: the figure of `mine` over that of `other`.
struct Ratio {
  const char* header;
  const char* mine;
  const char* other;
};

// Prints the table: a column per relay of `order` that has figures, then the
// ratio columns. A negative figure (not measured) prints as "-", and so does a
// ratio to a figure that is not above 0.
template <class F>
void PrintTable(const std::map<std::string, F>& r, std::initializer_list<const char*> order,
                const std::vector<TableRow<F>>& rows, std::initializer_list<Ratio> ratios) {
  std::printf("\n%-32s", "figure");
  for (const char* n : order) {
    if (r.count(n)) std::printf("%11s", n);
  }
  for (const Ratio& q : ratios) std::printf("%14s", q.header);
  std::printf("\n");
  for (const TableRow<F>& row : rows) {
    std::printf("%-32s", row.label.c_str());
    for (const char* n : order) {
      if (!r.count(n)) continue;
      const double v = r.at(n).*row.field;
      if (v < 0) std::printf("%11s", "-");
      else std::printf("%11.2f", v);
    }
    for (const Ratio& q : ratios) {
      if (!r.count(q.mine) || !r.count(q.other) || r.at(q.other).*row.field <= 0 || r.at(q.mine).*row.field < 0) {
        std::printf("%14s", "-");
      } else {
        std::printf("%14.2f", r.at(q.mine).*row.field / (r.at(q.other).*row.field));
      }
    }
    std::printf("\n");
  }
}

// The spread of each figure over the rounds: lowest-highest, per relay, so
// that a median is read with its noise. Nothing when there was one round.
template <class F>
void PrintSpread(const std::map<std::string, std::vector<F>>& rounds, std::initializer_list<const char*> order,
                 const std::vector<TableRow<F>>& rows) {
  size_t most = 0;
  for (const auto& [name, list] : rounds) most = std::max(most, list.size());
  if (most < 2) return;
  std::printf("\nspread over the rounds (lowest-highest)\n%-32s", "figure");
  for (const char* n : order) {
    if (rounds.count(n)) std::printf("%18s", n);
  }
  std::printf("\n");
  for (const TableRow<F>& row : rows) {
    std::printf("%-32s", row.label.c_str());
    for (const char* n : order) {
      if (!rounds.count(n)) continue;
      double lo = 0, hi = 0;
      bool any = false;
      for (const F& f : rounds.at(n)) {
        const double v = f.*row.field;
        if (v < 0) continue;
        lo = any ? std::min(lo, v) : v;
        hi = any ? std::max(hi, v) : v;
        any = true;
      }
      if (!any) {
        std::printf("%18s", "-");
      } else {
        char cell[48];
        std::snprintf(cell, sizeof cell, "%.2f-%.2f", lo, hi);
        std::printf("%18s", cell);
      }
    }
    std::printf("\n");
  }
}

// Reads a program's standard output until it closes, counting lines.
struct OutputDrain {
  int fd = -1;
  std::atomic<long> lines{0};
  std::thread thread;
  void Start(int readFd);
  void Join();
};

}  // namespace bench
