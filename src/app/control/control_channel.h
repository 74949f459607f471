// The control channel of a running instance: a Unix socket that only its own
// user reaches, and the client that `sorvik status|start|stop` uses.
//
// Where: $XDG_RUNTIME_DIR/sorvik/ when XDG_RUNTIME_DIR is an absolute path;
// else a directory the instance makes under a name nobody can guess,
// ${TMPDIR:-/tmp}/sorvik-UID-XXXXXX (mkdtemp: made by this user, mode 0700,
// so another user cannot have made it first). The instance refuses a runtime
// directory that is a link, belongs to another user or lets others in. The
// socket (mode 0600) is named after a hash of the data directory's canonical
// path, so that two spellings of one directory meet and each data directory
// has its own. The instance holds the data directory's lock, so a socket file
// found there was left by one that has ended and is replaced. Every accepted
// peer's user id is checked (SO_PEERCRED); another user gets an error reply.
//
// The record: beside its lock the instance writes "sorvik.control" (mode
// 0600, replaced atomically):
//
//   record  = "pid=" 1*DIGIT LF                    the instance's process id
//             ( "socket=" path LF                  where it listens
//             / "problem=" text LF )               why it does not
//
// and removes it when it ends. The commands read it first, so that they find
// the instance whatever XDG_RUNTIME_DIR their shell has (su, cron, ssh), then
// try $XDG_RUNTIME_DIR/sorvik/ and /run/user/UID/sorvik/. Before a byte is
// sent, the socket's directory must be this user's own (not a link, owner,
// mode 0700), the socket file this user's, and the process that answers (its
// SO_PEERCRED) this user's; anything else is refused and never talked to.
// When nothing answers while the lock names a live process, the command says
// that an instance runs and why it cannot be reached.
//
// The server never blocks its thread: every socket is non-blocking, one
// request per connection (control_protocol.h), at most kMaxClients at once
// (the next ones get "too many requests at once"), and a client that has not
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

#include "app/control/control_protocol.h"

namespace sorvik {

// The record beside the lock, in the data directory.
inline constexpr const char* kControlRecordName = "sorvik.control";

// The runtime directory of the control sockets, $XDG_RUNTIME_DIR/sorvik
// (without a trailing '/'); empty when XDG_RUNTIME_DIR is not an absolute path.
std::string ControlSocketDirectory();
// ControlSocketDirectory() + "/" + the socket's name for `dataDir`; empty when
// that directory is.
std::string ControlSocketPath(const std::string& dataDir);
// Whether the peer of connected Unix socket `fd` runs as `uid`.
bool PeerIsUser(int fd, uid_t uid);

class TControlServer {
 public:
  // Returns the whole reply to one request (UI thread).
  using THandler = std::function<std::string(const TControlRequest&)>;
  static constexpr int kClientTimeLimitMs = 5000;
  static constexpr int kMaxClients = 32;
  // Connections the kernel queues before they are accepted (more than
  // kMaxClients, so that a burst is answered rather than kept waiting).
  static constexpr int kBacklog = 128;

  explicit TControlServer(THandler handler);
  ~TControlServer();  // closes every socket, removes the socket file, its own directory and the record
  TControlServer(const TControlServer&) = delete;
  TControlServer& operator=(const TControlServer&) = delete;

  // Listens on ControlSocketPath(dataDir), or in a directory of its own in the
  // temporary directory, and writes the record beside the lock (the problem
  // too, when it cannot listen). False with `problem` set when the directory
  // is unsafe, the socket cannot be made, or a socket only the record names
  // cannot be recorded.
  bool Listen(const std::string& dataDir, std::string& problem);
  // After Listen: when the socket file or its directory has gone (removed by
  // hand, a cleaner of the temporary directory), listens anew and records it.
  // True when it listens. The clients being served stay.
  bool EnsureListening(std::string& problem);
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
  bool Open(std::string& problem);
  bool Bind(int fd, const std::string& path, struct sockaddr_un& addr, std::string& problem);
  void CloseListener();
  void RemoveLeftDirectory() const;
  bool StillThere() const;
  bool Record(const std::string& problem);
  void Accept();
  void Serve(int fd, uint32_t events);
  void Answer(int fd, TClient& client, std::string reply);
  void Flush(int fd, TClient& client);
  void Close(int fd);

  THandler handler_;
  std::string data_dir_;
  std::string path_;
  std::string own_dir_;  // the temporary directory it made, removed at the end
  dev_t socket_dev_ = 0;  // the socket file it bound
  ino_t socket_ino_ = 0;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  std::map<int, TClient> clients_;
};

// The client's side. Exit statuses of the commands.
inline constexpr int kExitNoInstance = 3;
struct TControlReply {
  enum class TState { NoInstance, Failed, Ok, Error, Unknown };
  TState State = TState::Failed;
  // Ok: the body; Error/Unknown: the reason; Failed: what went wrong (a
  // refused impostor, an instance that runs but cannot be reached, ...).
  std::string Text;
};
// Sends `request` to the instance on `dataDir` and reads its reply, within
// `timeoutMs` in all: at the socket its record names, else at
// ControlSocketPath and in /run/user/UID/sorvik/ (see above).
TControlReply SendControlRequest(const std::string& dataDir, const TControlRequest& request, int timeoutMs);

// The process id that the lock of `dataDir` names when that process runs on
// this machine (and is the program that took the lock), else 0.
long long LiveLockOwner(const std::string& dataDir);

}  // namespace sorvik
