#include "app/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sorvik {

namespace {

// FNV-1a, 64 bits: a name, not a secret.
std::string HashName(const std::string& text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string CanonicalDir(const std::string& dataDir) {
  char resolved[PATH_MAX];
  if (::realpath(dataDir.c_str(), resolved) != nullptr) return resolved;
  std::string s = dataDir;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Makes the directory (0700) when missing; refuses one that others could use.
bool PrivateDirectory(const std::string& dir, std::string& problem) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    problem = "cannot use " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    problem = dir + " is not a directory of this user's alone (mode 0700)";
    return false;
  }
  return true;
}

}  // namespace

std::string ControlSocketDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/sorvik";
  return "/tmp/sorvik-" + std::to_string(::geteuid());
}

std::string ControlSocketPath(const std::string& dataDir) {
  return ControlSocketDirectory() + "/" + HashName(CanonicalDir(dataDir)) + ".sock";
}

bool PeerIsUser(int fd, uid_t uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  return cred.uid == uid;
}

// ---- server ----

TControlServer::TControlServer(THandler handler) : handler_(std::move(handler)) {}

TControlServer::~TControlServer() {
  while (!clients_.empty()) Close(clients_.begin()->first);
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.c_str());
  }
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

bool TControlServer::Listen(const std::string& dataDir, std::string& problem) {
  const std::string dir = ControlSocketDirectory();
  if (!PrivateDirectory(dir, problem)) return false;
  const std::string path = ControlSocketPath(dataDir);
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) {
    problem = "the socket path " + path + " is too long";
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // A socket file left by an instance that has ended is replaced (the caller
  // holds the data directory's lock); one that still answers is not taken over.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN) {
    problem = "another instance answers on " + path;
    ::close(fd);
    return false;
  }
  ::close(fd);
  const int fresh = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fresh < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  return Bind(fresh, path, addr, problem);
}

bool TControlServer::Bind(int fd, const std::string& path, sockaddr_un& addr, std::string& problem) {
  ::unlink(path.c_str());
  const mode_t oldMask = ::umask(077);
  const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int bindError = errno;
  ::umask(oldMask);
  if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
    problem = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
    ::close(fd);
    return false;
  }
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  if (ep < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
    problem = std::string("epoll: ") + std::strerror(errno);
    if (ep >= 0) ::close(ep);
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  listen_fd_ = fd;
  epoll_fd_ = ep;
  path_ = path;
  return true;
}

void TControlServer::Process() {
  if (epoll_fd_ < 0) return;
  epoll_event events[16];
  const int n = ::epoll_wait(epoll_fd_, events, 16, 0);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == listen_fd_) {
      Accept();
    } else {
      Serve(events[i].data.fd, events[i].events);
    }
  }
  const auto now = std::chrono::steady_clock::now();
  for (auto it = clients_.begin(); it != clients_.end();) {
    const int fd = it->first;
    ++it;
    if (clients_.at(fd).Deadline <= now) Close(fd);
  }
}

int TControlServer::TimeoutMs() const {
  if (clients_.empty()) return -1;
  auto first = clients_.begin()->second.Deadline;
  for (const auto& [fd, c] : clients_) first = std::min(first, c.Deadline);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void TControlServer::Accept() {
  for (int taken = 0; taken < kMaxClients; ++taken) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // none left (or a failure the next readiness retries)
    if (static_cast<int>(clients_.size()) >= kMaxClients) {
      static constexpr char kBusy[] = "error too many requests at once\n";
      [[maybe_unused]] ssize_t w = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      continue;
    }
    TClient& client = clients_[fd];
    client.Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientTimeLimitMs);
    if (!PeerIsUser(fd, ::geteuid())) Answer(fd, client, "error permission denied: another user's request\n");
  }
}

void TControlServer::Serve(int fd, uint32_t events) {
  auto found = clients_.find(fd);
  if (found == clients_.end()) return;
  TClient& client = found->second;
  if (client.Answered) {
    if (events & (EPOLLERR | EPOLLHUP)) {
      Close(fd);
      return;
    }
    Flush(fd, client);
    return;
  }
  char buffer[1024];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      client.In.append(buffer, static_cast<size_t>(got));
      const TControlParse parse = ParseControlRequest(client.In);
      if (parse.State == TControlParse::TState::Incomplete) continue;
      if (parse.State == TControlParse::TState::Malformed) {
        Answer(fd, client, "error " + parse.Error + "\n");
        return;
      }
      std::string reply;
      try {
        reply = handler_ ? handler_(parse.Request) : "error no handler\n";
      } catch (const std::exception& e) {
        reply = std::string("error ") + e.what() + "\n";
      } catch (...) {
        reply = "error internal failure\n";
      }
      Answer(fd, client, std::move(reply));
      return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) Close(fd);
      return;
    }
    if (got < 0 && errno == EINTR) continue;
    Close(fd);  // the client went before its request was complete
    return;
  }
}

void TControlServer::Answer(int fd, TClient& client, std::string reply) {
  client.Answered = true;
  client.Out = std::move(reply);
  client.In.clear();
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
  Flush(fd, client);
}

void TControlServer::Flush(int fd, TClient& client) {
  while (client.Sent < client.Out.size()) {
    const ssize_t n =
        ::send(fd, client.Out.data() + client.Sent, client.Out.size() - client.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      client.Sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // on when writable again
    break;
  }
  Close(fd);
}

void TControlServer::Close(int fd) {
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  clients_.erase(fd);
}

// ---- client ----

namespace {

// The pause between two connects to an instance whose queue is full.
constexpr int kConnectRetryMs = 20;

TControlReply SendTo(const std::string& path, const TControlRequest& request, int timeoutMs);

}  // namespace

// A shell without XDG_RUNTIME_DIR (su, some ssh logins) still finds an
// instance started in the user's session, and the other way round: the
// session's runtime directory and the temporary one are tried too.
TControlReply SendControlRequest(const std::string& dataDir, const TControlRequest& request, int timeoutMs) {
  const std::string name = ControlSocketPath(dataDir).substr(ControlSocketDirectory().size());
  std::vector<std::string> dirs = {ControlSocketDirectory(), "/run/user/" + std::to_string(::geteuid()) + "/sorvik",
                                   "/tmp/sorvik-" + std::to_string(::geteuid())};
  TControlReply reply;
  for (size_t i = 0; i < dirs.size(); ++i) {
    if (std::find(dirs.begin(), dirs.begin() + static_cast<std::ptrdiff_t>(i), dirs[i]) !=
        dirs.begin() + static_cast<std::ptrdiff_t>(i)) {
      continue;  // already tried
    }
    reply = SendTo(dirs[i] + name, request, timeoutMs);
    if (reply.State != TControlReply::TState::NoInstance) return reply;
  }
  return reply;
}

namespace {

TControlReply SendTo(const std::string& path, const TControlRequest& request, int timeoutMs) {
  TControlReply reply;
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) {
    reply.Text = "the socket path " + path + " is too long";
    return reply;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reply.Text = std::string("socket: ") + std::strerror(errno);
    return reply;
  }
  // A Unix socket connects at once or not at all: EAGAIN means the
  // instance's queue of unaccepted clients is full (an instance that does not
  // accept), which is tried again, briefly, until the time limit.
  while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      ::poll(nullptr, 0, kConnectRetryMs);
      continue;
    }
    ::close(fd);
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
      reply.State = TControlReply::TState::NoInstance;
    } else if (error == EAGAIN) {
      reply.Text = "the instance did not answer within " + std::to_string(timeoutMs / 1000) + " s";
    } else {
      reply.Text = "cannot reach " + path + ": " + std::strerror(error);
    }
    return reply;
  }
  auto waitFor = [&](short what) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, what, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
  };
  const std::string line = FormatControlRequest(request);
  size_t sent = 0;
  while (sent < line.size()) {
    if (!waitFor(POLLOUT)) break;
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  std::string in;
  bool ended = false;
  char buffer[4096];
  while (waitFor(POLLIN)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      in.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    // An instance that answers before it has read the whole request (a
    // refusal) closes with unread bytes, which resets the connection: what
    // came before the reset is its whole answer.
    ended = errno == ECONNRESET && !in.empty();
    break;
  }
  ::close(fd);
  const size_t lf = in.find('\n');
  if (!ended || lf == std::string::npos) {
    reply.Text = ended ? "the instance closed the connection without an answer"
                       : "the instance did not answer within " + std::to_string(timeoutMs / 1000) + " s";
    return reply;
  }
  const std::string head = in.substr(0, lf);
  if (head == "ok") {
    reply.State = TControlReply::TState::Ok;
    reply.Text = in.substr(lf + 1);
  } else if (head.rfind("error ", 0) == 0) {
    reply.State = TControlReply::TState::Error;
    reply.Text = head.substr(6);
  } else if (head.rfind("unknown ", 0) == 0) {
    reply.State = TControlReply::TState::Unknown;
    reply.Text = head.substr(8);
  } else {
    reply.Text = "the instance answered something unexpected";
  }
  return reply;
}

}  // namespace

}  // namespace sorvik
