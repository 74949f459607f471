// Shared network test utilities: loopback servers, a blocking client, a child
// process runner, process resource counters and a scripted fake peer.
//
// Everything listens on 127.0.0.1 only. In-process servers bind port 0 (the
// kernel picks a free one); FreePort() is for child processes that need a port
// number up front. All waits take a time limit in milliseconds, so a broken
// peer fails a test instead of hanging it.
//
// Thread contract: each object is used from the test's thread; the servers run
// their own threads internally and join them in Stop() / the destructor.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sorvik::test {

// ---------------------------------------------------------------------------
// Ports and process counters

// A TCP port in [10000, 32768) that nothing listens on at 127.0.0.1 right now
// (checked by binding it once). Randomised, so parallel tests rarely collide.
uint16_t FreePort();

// Binds a listening socket on 127.0.0.1:0 (on [::1]:0 with `ipv6`) with
// `backlog`; returns the fd and sets `port`. Returns -1 on failure.
int ListenLoopback(uint16_t& port, int backlog = 64, bool ipv6 = false);

// Number of open file descriptors of this process (/proc/self/fd).
int CountOpenFds();
// Number of threads of this process (/proc/self/task).
int CountThreads();
// The TCP congestion control of socket `fd` ("" when it has none).
std::string CongestionControl(int fd);
// Polls `pred` every 10 ms until it returns true or `timeoutMs` passes.
template <class Pred>
bool WaitUntil(Pred pred, int timeoutMs = 5000) {
  for (int waited = 0;; waited += 10) {
    if (pred()) return true;
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Random bytes, reproducible for a given seed.
std::string RandomBytes(size_t n, uint32_t seed = 1);

// A loopback listener (backlog 0) whose queue is filled, so that a further
// connect to it stays in progress. Port() is 0 if this could not be arranged.
class UnansweredListener {
 public:
  UnansweredListener();
  ~UnansweredListener();
  UnansweredListener(const UnansweredListener&) = delete;
  UnansweredListener& operator=(const UnansweredListener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// ---------------------------------------------------------------------------
// Blocking client

// One TCP connection to host:port, with bounded sends and receives.
class BlockingClient {
 public:
  // Connects within `timeoutMs`; check Connected() (or use Connect()).
  explicit BlockingClient(uint16_t port, const std::string& host = "127.0.0.1", int timeoutMs = 5000);
  // The same from the local IPv4 address `from` ("127.0.0.2": a second
  // client address on loopback).
  BlockingClient(uint16_t port, const std::string& host, int timeoutMs, const std::string& from);
  ~BlockingClient();
  BlockingClient(const BlockingClient&) = delete;
  BlockingClient& operator=(const BlockingClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint16_t LocalPort() const;

  // Sends every byte; false on error or when the time limit passes.
  bool SendAll(std::string_view data, int timeoutMs = 5000);
  // Receives exactly n bytes; returns what arrived (shorter on EOF, error or time-out).
  std::string RecvExact(size_t n, int timeoutMs = 5000);
  // Receives until the peer closes (or resets); returns everything read.
  std::string RecvUntilClosed(int timeoutMs = 5000);
  // True when the peer closed or reset the connection within `timeoutMs`
  // (bytes that arrive meanwhile are discarded).
  bool WaitClosed(int timeoutMs = 5000);
  // True when nothing arrives and the connection stays open for `ms`.
  bool StaysSilent(int ms);
  // Orderly close of the sending side (FIN), the socket stays open for reading.
  void ShutdownWrite();
  // Closes; `reset` true sends an RST (SO_LINGER 0).
  void Close(bool reset = false);

 private:
  int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Echo server

// Loopback echo server on port 0 (127.0.0.1, or ::1 with `ipv6`), one thread
// per connection. Port() is 0 when it could not listen.
class EchoServer {
 public:
  explicit EchoServer(bool ipv6 = false);
  ~EchoServer();  // Stop()
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  uint16_t Port() const { return port_; }
  // Connections accepted so far.
  int Accepted() const { return accepted_.load(); }
  // Connections currently open.
  int Open() const { return open_.load(); }
  // Closes the listener and every connection, joins all threads. Idempotent.
  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd);
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> open_{0};
  std::thread acceptor_;
  std::mutex mutex_;                 // guards threads_
  std::vector<std::thread> threads_;  // guarded by mutex_
};

// ---------------------------------------------------------------------------
// Remote peers that never give way

// A loopback server (port 0) whose every connection misbehaves for good:
// kNeverReads accepts with a small receive buffer and never reads a byte;
// kNeverStopsSending sends without end and never reads. Each connection ends
// only when the other side closes or resets it (or Stop()).
class StubbornPeer {
 public:
  enum Kind { kNeverReads, kNeverStopsSending };
  explicit StubbornPeer(Kind kind);
  ~StubbornPeer();  // Stop()
  StubbornPeer(const StubbornPeer&) = delete;
  StubbornPeer& operator=(const StubbornPeer&) = delete;

  uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }
  // Connections that the other side has closed or reset (seen on this side).
  int Ended() const { return ended_.load(); }
  // Bytes sent so far on every connection (kNeverStopsSending).
  uint64_t Sent() const { return sent_.load(); }
  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd);
  const Kind kind_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> ended_{0};
  std::atomic<uint64_t> sent_{0};
  std::thread acceptor_;
  std::mutex mutex_;                  // guards threads_
  std::vector<std::thread> threads_;  // guarded by mutex_
};

// ---------------------------------------------------------------------------
// Scripted fake peer

// A loopback server (port 0) that serves every accepted connection with the same
// script and records every byte received on each connection. After the last
// step it keeps reading (and recording) until the peer closes or Stop().
struct PeerStep {
  enum Kind { kExpect, kExpectUntil, kSend, kSendSlowly, kClose, kReset, kNeverAnswer, kSleep, kExpectEnd, kEndSending,
              kSendWhileReading, kAwait };
  Kind kind;
  size_t count = 0;       // kExpect: bytes to read; kSendSlowly: piece size
  std::string bytes;      // kSend/kSendSlowly: bytes to send; kExpectUntil: delimiter
  int ms = 0;             // kSendSlowly: pause between pieces; kSleep: duration
  std::function<bool()> state;  // kAwait: what is waited for

  // Read exactly n bytes (the connection ends if the peer closes first).
  static PeerStep Expect(size_t n) { return {kExpect, n, {}, 0, {}}; }
  // Read until `delim` has been received (e.g. "\r\n\r\n").
  static PeerStep ExpectUntil(std::string delim) { return {kExpectUntil, 0, std::move(delim), 0, {}}; }
  static PeerStep Send(std::string b) { return {kSend, 0, std::move(b), 0, {}}; }
  // Short writes: `b` in pieces of `piece` bytes with `pauseMs` between them.
  static PeerStep SendSlowly(std::string b, size_t piece, int pauseMs = 5) { return {kSendSlowly, piece, std::move(b), pauseMs, {}}; }
  static PeerStep Close() { return {kClose, 0, {}, 0, {}}; }
  // Close with an RST.
  static PeerStep Reset() { return {kReset, 0, {}, 0, {}}; }
  // Accepts bytes but never answers, until the peer closes or Stop().
  static PeerStep NeverAnswer() { return {kNeverAnswer, 0, {}, 0, {}}; }
  // A pause that is itself what the test exercises (a slow peer); to wait
  // for something the test does, use Await.
  static PeerStep Sleep(int ms) { return {kSleep, 0, {}, ms, {}}; }
  // Goes on once `state` holds (called from the peer's thread; bounded by
  // 30 s and by Stop()): a reply held back until the test has checked that
  // nothing came yet, a reset that comes once the other side is relaying.
  static PeerStep Await(std::function<bool()> state) { return {kAwait, 0, {}, 0, std::move(state)}; }
  // Read (recording) until the peer ends its sending direction.
  static PeerStep ExpectEnd() { return {kExpectEnd, 0, {}, 0, {}}; }
  // Orderly end of this side's sending direction (FIN); reading goes on.
  static PeerStep EndSending() { return {kEndSending, 0, {}, 0, {}}; }
  // Sends `b` while reading (recording) whatever arrives meanwhile, so that a
  // peer sending at the same time never stalls the exchange.
  static PeerStep SendWhileReading(std::string b) { return {kSendWhileReading, 0, std::move(b), 0, {}}; }
};

class FakePeer {
 public:
  explicit FakePeer(std::vector<PeerStep> script);
  ~FakePeer();  // Stop()
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }
  // Connections whose script has ended and whose socket is closed.
  int Finished() const { return finished_.load(); }
  // Bytes received on connection `i` (in accept order); empty if none.
  std::string Received(size_t i = 0) const;
  // Waits until `n` connections were accepted.
  bool WaitAccepted(int n, int timeoutMs = 5000) const;
  // Waits until connection `i` has received at least `n` bytes.
  bool WaitReceived(size_t i, size_t n, int timeoutMs = 5000) const;
  // Waits until `n` connections have finished (closed on this side).
  bool WaitFinished(int n, int timeoutMs = 5000) const;
  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd, size_t index);
  std::vector<PeerStep> script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> finished_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;           // guards received_ and threads_
  std::vector<std::string> received_;  // guarded by mutex_
  std::vector<std::thread> threads_;   // guarded by mutex_
};

// ---------------------------------------------------------------------------
// Child process

// A temporary directory removed (recursively) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Writes `content` to Path()/name and returns the full path.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Runs argv[0] (looked up in PATH) with its own temp dir as working directory;
// stdout and stderr go to files in that dir. Stopped (SIGTERM, then SIGKILL if
// it has not ended after kStopGraceMs) and reaped on destruction; whatever it left in its process group is
// killed when it is reaped. It also gets SIGTERM when the test program ends
// without destroying it (the kernel's parent-death signal, tied to the thread
// that created it: create it on the test's main thread).
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();  // Stop()
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& Dir() const { return dir_.Path(); }
  std::string Stdout() const;
  std::string Stderr() const;
  // True once 127.0.0.1:port accepts a TCP connection (false if the child exits
  // first or the limit passes).
  bool WaitForPort(uint16_t port, int timeoutMs = 10000);
  // True while the child has not exited.
  bool Running();
  // What a child gets between SIGTERM and SIGKILL. Generous: a program that
  // saves and ends cleanly at SIGTERM may take seconds for it under the
  // sanitizers on a loaded machine, and a test that checks its exit status
  // must not see the SIGKILL meant for a hung one.
  static constexpr int kStopGraceMs = 30000;
  // SIGTERM, wait up to kStopGraceMs for the child to end, then SIGKILL;
  // returns the wait status (or -1).
  int Stop();

 private:
  // Records the exit status and ends whatever the child left in its group.
  void Reaped(int status);
  TempDir dir_;
  std::string argv0_;  // the program, for messages
  pid_t pid_ = -1;
  pid_t pgid_ = -1;  // the child's own process group, until it is reaped
  int status_ = -1;
};

// True when `program` is found in PATH (to skip tests whose peer is missing).
bool ProgramAvailable(const std::string& program);

}  // namespace sorvik::test
