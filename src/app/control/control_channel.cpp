#include "app/control/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include <sstream>
#include <vector>

#include "app/settings/settings.h"

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

// "/" + the socket's name for `dataDir`.
std::string SocketName(const std::string& dataDir) { return "/" + HashName(CanonicalDir(dataDir)) + ".sock"; }

std::string InDataDir(const std::string& dataDir, const char* name) {
  return dataDir + (!dataDir.empty() && dataDir.back() == '/' ? "" : "/") + name;
}

std::string Uid() { return std::to_string(::geteuid()); }

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

// Why the existing directory `st` (from lstat) is not this user's alone;
// empty when it is.
std::string ForeignDirectory(const std::string& dir, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "the directory " + dir + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
  if (st.st_uid != ::geteuid()) {
    return "the directory " + dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "the directory " + dir + " lets other users in (mode " + mode + ")";
  }
  return {};
}

// The base of a directory of the instance's own when there is no runtime
// directory: $TMPDIR when it is an absolute path short enough for a socket
// path, else /tmp.
std::string TemporaryBase() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && tmp[0] == '/' && std::strlen(tmp) < 48) {
    std::string base = tmp;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
  }
  return "/tmp";
}

bool ProcessRuns(long long pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// At most `limit` bytes of a regular file of this user's; empty otherwise.
std::string ReadSmallFile(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
    char buf[1024];
    for (ssize_t n; text.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0;) {
      text.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return text.size() > limit ? std::string() : text;
}

// What an instance recorded beside its lock (see control_channel.h).
struct TRecord {
  long long Pid = 0;
  std::string Socket;
  std::string Problem;
};

TRecord ReadRecord(const std::string& dataDir) {
  TRecord record;
  std::istringstream in(ReadSmallFile(InDataDir(dataDir, kControlRecordName), 8192));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("pid=", 0) == 0) {
      record.Pid = std::atoll(line.c_str() + 4);
    } else if (line.rfind("socket=", 0) == 0) {
      record.Socket = line.substr(7);
    } else if (line.rfind("problem=", 0) == 0) {
      record.Problem = line.substr(8);
    }
  }
  return record;
}

}  // namespace

std::string ControlSocketDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/sorvik";
  return {};
}

std::string ControlSocketPath(const std::string& dataDir) {
  const std::string dir = ControlSocketDirectory();
  return dir.empty() ? dir : dir + SocketName(dataDir);
}

bool PeerIsUser(int fd, uid_t uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  return cred.uid == uid;
}

long long LiveLockOwner(const std::string& dataDir) {
  // The lock's lines: process id, program name, host name, ...
  // Another user's lock names another user's instance: not one to reach.
  std::istringstream in(ReadSmallFile(InDataDir(dataDir, kLockFileName), 4096));
  std::string pid, program, host;
  std::getline(in, pid);
  std::getline(in, program);
  std::getline(in, host);
  char here[256] = {};
  if (!host.empty() && ::gethostname(here, sizeof here - 1) == 0 && host != here) return 0;  // another machine's
  const long long owner = std::atoll(pid.c_str());
  return ProcessRuns(owner) ? owner : 0;
}

// ---- server ----

TControlServer::TControlServer(THandler handler) : handler_(std::move(handler)) {}

TControlServer::~TControlServer() {
  while (!clients_.empty()) Close(clients_.begin()->first);
  CloseListener();
  if (!data_dir_.empty() && ReadRecord(data_dir_).Pid == ::getpid()) {
    ::unlink(InDataDir(data_dir_, kControlRecordName).c_str());
  }
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

bool TControlServer::Listen(const std::string& dataDir, std::string& problem) {
  data_dir_ = dataDir;
  RemoveLeftDirectory();
  if (epoll_fd_ < 0) epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    problem = std::string("epoll: ") + std::strerror(errno);
    return false;
  }
  return EnsureListening(problem);
}

bool TControlServer::EnsureListening(std::string& problem) {
  if (epoll_fd_ < 0) {
    problem = "not listening";
    return false;
  }
  if (listen_fd_ >= 0 && StillThere()) return true;
  CloseListener();
  const bool listening = Open(problem);
  if (!Record(listening ? std::string() : problem) && listening && !own_dir_.empty()) {
    // Only the record leads to a directory of its own: unreachable without it.
    problem = "cannot write " + InDataDir(data_dir_, kControlRecordName) + ": " + std::strerror(errno);
    CloseListener();
    return false;
  }
  return listening;
}

bool TControlServer::Open(std::string& problem) {
  std::string dir = ControlSocketDirectory();
  if (!dir.empty()) {
    if (!PrivateDirectory(dir, problem)) return false;
  } else {
    // No runtime directory: one of its own under a name nobody can take
    // first, made with mode 0700.
    std::string name = TemporaryBase() + "/sorvik-" + Uid() + "-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
      problem = "cannot make a directory in " + TemporaryBase() + ": " + std::strerror(errno);
      return false;
    }
    dir = own_dir_ = name;
  }
  const std::string path = dir + SocketName(data_dir_);
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) {
    problem = "the socket path " + path + " is too long";
    CloseListener();
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    CloseListener();
    return false;
  }
  // A socket file left by an instance that has ended is replaced (the caller
  // holds the data directory's lock); one that still answers is not taken over.
  if (own_dir_.empty() &&
      (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN)) {
    problem = "another instance answers on " + path;
    ::close(fd);
    return false;
  }
  ::close(fd);
  const int fresh = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fresh < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    CloseListener();
    return false;
  }
  if (!Bind(fresh, path, addr, problem)) {
    CloseListener();
    return false;
  }
  return true;
}

bool TControlServer::Bind(int fd, const std::string& path, sockaddr_un& addr, std::string& problem) {
  ::unlink(path.c_str());
  const mode_t oldMask = ::umask(077);
  const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int bindError = errno;
  ::umask(oldMask);
  struct stat st {};
  if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kBacklog) != 0 ||
      ::lstat(path.c_str(), &st) != 0) {
    problem = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
    if (bound == 0) ::unlink(path.c_str());
    ::close(fd);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    problem = std::string("epoll: ") + std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  socket_dev_ = st.st_dev;
  socket_ino_ = st.st_ino;
  return true;
}

// An instance that was killed left its own temporary directory, which its
// record names: the caller holds the lock, so that one has ended.
void TControlServer::RemoveLeftDirectory() const {
  const TRecord left = ReadRecord(data_dir_);
  const size_t slash = left.Socket.rfind('/');
  if (left.Pid == ::getpid() || slash == std::string::npos || slash == 0) return;
  const std::string dir = left.Socket.substr(0, slash);
  const std::string name = dir.substr(dir.rfind('/') + 1);
  const std::string prefix = "sorvik-" + Uid() + "-";
  struct stat st {};
  if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0 || ::lstat(dir.c_str(), &st) != 0 ||
      !ForeignDirectory(dir, st).empty()) {
    return;
  }
  if (::lstat(left.Socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(left.Socket.c_str());
  ::rmdir(dir.c_str());  // only when empty
}

void TControlServer::CloseListener() {
  if (listen_fd_ >= 0) {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
    ::close(listen_fd_);
    listen_fd_ = -1;
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
      ::unlink(path_.c_str());
    }
  }
  path_.clear();
  if (!own_dir_.empty()) ::rmdir(own_dir_.c_str());  // only when empty
  own_dir_.clear();
}

// Whether the socket file it bound is still where the commands look, in a
// directory they accept.
bool TControlServer::StillThere() const {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0 || st.st_dev != socket_dev_ || st.st_ino != socket_ino_) return false;
  const std::string dir = path_.substr(0, path_.rfind('/'));
  return ::lstat(dir.c_str(), &st) == 0 && ForeignDirectory(dir, st).empty();
}

bool TControlServer::Record(const std::string& problem) {
  std::string text = "pid=" + std::to_string(::getpid()) + "\n";
  if (problem.empty()) {
    text += "socket=" + path_ + "\n";
  } else {
    std::string line = problem;
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    text += "problem=" + line + "\n";
  }
  const std::string path = InDataDir(data_dir_, kControlRecordName);
  const std::string fresh = path + ".new";
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  if (::close(fd) != 0 || !written || ::rename(fresh.c_str(), path.c_str()) != 0) {
    const int failure = written ? errno : error;
    ::unlink(fresh.c_str());
    errno = failure;
    return false;
  }
  return true;
}

void TControlServer::Process() {
  if (epoll_fd_ < 0) return;
  epoll_event events[64];
  const int n = ::epoll_wait(epoll_fd_, events, 64, 0);
  for (int i = 0; i < n; ++i) {
    if (listen_fd_ >= 0 && events[i].data.fd == listen_fd_) {
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

// Takes every connection that waits: the first kMaxClients at a time are
// served, the others refused at once, so that a client never waits behind
// more than that many.
void TControlServer::Accept() {
  for (int taken = 0; taken < kBacklog; ++taken) {
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
  char buffer[4096];
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
    if (got == 0) {
      // The client ended its side before a whole request: it may still read
      // the reason.
      Answer(fd, client, client.In.empty() ? "error empty request\n" : "error request without a line end\n");
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (events & (EPOLLERR | EPOLLHUP)) Close(fd);
      return;
    }
    if (errno == EINTR) continue;
    Close(fd);  // the connection failed
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

// One socket tried: nothing there, refused unasked, or asked (any answer,
// a failure to get one too).
struct TAttempt {
  enum class TOutcome { Absent, Refused, Asked };
  TOutcome Outcome = TOutcome::Absent;
  std::string Why;  // Absent, Refused
  TControlReply Reply;  // Asked
};

TAttempt Ask(const std::string& path, const TControlRequest& request, int timeoutMs);
TControlReply Exchange(int fd, const TControlRequest& request, std::chrono::steady_clock::time_point deadline,
                       int timeoutMs);

}  // namespace

TControlReply SendControlRequest(const std::string& dataDir, const TControlRequest& request, int timeoutMs) {
  const long long owner = LiveLockOwner(dataDir);
  const TRecord record = ReadRecord(dataDir);
  // A record of a process that has ended (or that no longer holds the lock)
  // is old.
  const bool recorded = record.Pid > 0 && (owner > 0 ? record.Pid == owner : ProcessRuns(record.Pid));
  std::vector<std::string> paths;
  if (recorded && !record.Socket.empty()) paths.push_back(record.Socket);
  if (const std::string runtime = ControlSocketPath(dataDir); !runtime.empty()) paths.push_back(runtime);
  paths.push_back("/run/user/" + Uid() + "/sorvik" + SocketName(dataDir));
  std::string refusal, absence, tried;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (std::find(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(i), paths[i]) !=
        paths.begin() + static_cast<std::ptrdiff_t>(i)) {
      continue;  // already tried
    }
    TAttempt attempt = Ask(paths[i], request, timeoutMs);
    if (attempt.Outcome == TAttempt::TOutcome::Asked) return attempt.Reply;
    if (attempt.Outcome == TAttempt::TOutcome::Refused && refusal.empty()) {
      refusal = "will not talk to " + paths[i] + ": " + attempt.Why +
                "; it may not be your Sorvik, and nothing was sent to it";
    }
    if (attempt.Outcome == TAttempt::TOutcome::Absent && absence.empty()) absence = attempt.Why;
    tried += (tried.empty() ? "" : ", ") + paths[i];
  }
  TControlReply reply;
  const long long pid = owner > 0 ? owner : recorded ? record.Pid : 0;
  if (pid == 0) {
    reply.State = refusal.empty() ? TControlReply::TState::NoInstance : TControlReply::TState::Failed;
    reply.Text = refusal;
    return reply;
  }
  std::string why;
  if (recorded && !record.Problem.empty()) {
    why = "it could not open its control socket: " + record.Problem;
  } else if (!refusal.empty()) {
    why = refusal;
  } else if (recorded) {
    why = absence + " (the window-less mode makes it again on a reload: SIGHUP)";
  } else {
    why = std::string("it has not recorded its control socket in ") + kControlRecordName +
          " beside its lock (still starting, or an older version of Sorvik), and none answers at " + tried;
  }
  reply.Text = "Sorvik runs with the data directory " + dataDir + " (process " + std::to_string(pid) +
               ") but cannot be reached: " + why;
  return reply;
}

namespace {

TAttempt Ask(const std::string& path, const TControlRequest& request, int timeoutMs) {
  TAttempt attempt;
  const auto refused = [&attempt](std::string why) {
    attempt.Outcome = TAttempt::TOutcome::Refused;
    attempt.Why = std::move(why);
    return attempt;
  };
  const auto absent = [&attempt](std::string why) {
    attempt.Outcome = TAttempt::TOutcome::Absent;
    attempt.Why = std::move(why);
    return attempt;
  };
  const auto asked = [&attempt](TControlReply reply) {
    attempt.Outcome = TAttempt::TOutcome::Asked;
    attempt.Reply = std::move(reply);
    return attempt;
  };
  // Only this user's own directory and socket are talked to.
  const std::string dir = path.substr(0, path.rfind('/'));
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    return absent(errno == ENOENT ? "its socket's directory " + dir + " is gone"
                                  : "cannot use " + dir + ": " + std::strerror(errno));
  }
  if (std::string why = ForeignDirectory(dir, st); !why.empty()) return refused(why);
  if (::lstat(path.c_str(), &st) != 0) {
    return absent(errno == ENOENT ? "its control socket " + path + " is gone"
                                  : "cannot use " + path + ": " + std::strerror(errno));
  }
  if (!S_ISSOCK(st.st_mode)) return refused(path + " is not a socket");
  if (st.st_uid != ::geteuid()) {
    return refused("the socket belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  }

  TControlReply reply;
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) {
    reply.Text = "the socket path " + path + " is too long";
    return asked(reply);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reply.Text = std::string("socket: ") + std::strerror(errno);
    return asked(reply);
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
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return absent("nothing listens on " + path);
    if (error == EAGAIN) {
      reply.Text = "the instance did not answer within " + std::to_string(timeoutMs / 1000) + " s";
    } else {
      reply.Text = "cannot reach " + path + ": " + std::strerror(error);
    }
    return asked(reply);
  }
  // The process that listens (its credentials from the time it listened).
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred || cred.uid != ::geteuid()) {
    ::close(fd);
    return refused("the process that answers there runs as another user (uid " +
                   (len == sizeof cred ? std::to_string(cred.uid) : std::string("unknown")) + ")");
  }
  return asked(Exchange(fd, request, deadline, timeoutMs));
}

// Sends the request on the connected `fd`, reads the reply and closes `fd`.
TControlReply Exchange(int fd, const TControlRequest& request, std::chrono::steady_clock::time_point deadline,
                       int timeoutMs) {
  TControlReply reply;
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
