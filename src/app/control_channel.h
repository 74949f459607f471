// The control channel of a running instance: a Unix socket that only its own
// user reaches, and the client that `sorvik status|start|stop` uses.
//
// Where: $XDG_RUNTIME_DIR/sorvik/ when XDG_RUNTIME_DIR is an absolute path,
// else /tmp/sorvik-UID/; the directory is made with mode 0700, and the
// instance refuses one that is a link, belongs to another user or lets others
// in. The socket (mode 0600) is named after a hash of the data directory's
// canonical path, so that two spellings of one directory meet and each data
// directory has its own. The instance holds the data directory's lock, so a
// socket file found there was left by one that has ended and is replaced.
// Every accepted peer's user id is checked (SO_PEERCRED); another user gets
// an error reply.
//
// The server never blocks its thread: every socket is non-blocking, one
// request per connection (control_protocol.h), and a client that has not
// sent its request and taken its reply within kClientTimeLimitMs is closed.
//
// Thread contract: TControlServer lives on the UI thread (the window's event
// loop watches Fd() with a socket notifier, the window-less mode's poll loop
// watches it directly); its handler runs there. The client functions run on
// the calling thread.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "app/control_protocol.h"

namespace sorvik {

// The directory of the control sockets (without a trailing '/').
std::string ControlSocketDirectory();
// The socket of the instance that runs on `dataDir`.
std::string ControlSocketPath(const std::string& dataDir);
// Whether the peer of connected Unix socket `fd` runs as `uid`.
bool PeerIsUser(int fd, uid_t uid);

class TControlServer {
 public:
  // Returns the whole reply to one request (UI thread).
  using THandler = std::function<std::string(const TControlRequest&)>;
  static constexpr int kClientTimeLimitMs = 5000;
  static constexpr int kMaxClients = 32;

  explicit TControlServer(THandler handler);
  ~TControlServer();  // closes every socket and removes the socket file
  TControlServer(const TControlServer&) = delete;
  TControlServer& operator=(const TControlServer&) = delete;

  // Listens on ControlSocketPath(dataDir). False with `problem` set when the
  // directory is unsafe or the socket cannot be made.
  bool Listen(const std::string& dataDir, std::string& problem);
  const std::string& Path() const { return path_; }
  // Readable while something waits for Process() (an epoll set); -1 before Listen.
  int Fd() const { return epoll_fd_; }
  // Accepts, reads, answers, writes and closes what is ready, and closes the
  // clients over their time limit. Never waits.
  void Process();
  // Milliseconds until the next client's time limit passes (-1: no client).
  int TimeoutMs() const;
  int Clients() const { return static_cast<int>(clients_.size()); }

 private:
  struct TClient {
    std::string In;
    std::string Out;
    size_t Sent = 0;
    bool Answered = false;
    std::chrono::steady_clock::time_point Deadline;
  };
  bool Bind(int fd, const std::string& path, struct sockaddr_un& addr, std::string& problem);
  void Accept();
  void Serve(int fd, uint32_t events);
  void Answer(int fd, TClient& client, std::string reply);
  void Flush(int fd, TClient& client);
  void Close(int fd);

  THandler handler_;
  std::string path_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  std::map<int, TClient> clients_;
};

// The client's side. Exit statuses of the commands.
inline constexpr int kExitNoInstance = 3;
struct TControlReply {
  enum class TState { NoInstance, Failed, Ok, Error, Unknown };
  TState State = TState::Failed;
  std::string Text;  // Ok: the body; Error/Unknown: the reason; Failed: what went wrong
};
// Sends `request` to the instance on `dataDir` and reads its reply, within
// `timeoutMs` in all. Besides ControlSocketPath, the same name in
// /run/user/UID/sorvik/ and /tmp/sorvik-UID/ is tried, for a shell whose
// XDG_RUNTIME_DIR differs from the instance's.
TControlReply SendControlRequest(const std::string& dataDir, const TControlRequest& request, int timeoutMs);

}  // namespace sorvik
