#include "net/socket_util.h"

#include <sys/resource.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "net/exceptions.h"
#include "net/thread_wake.h"

namespace sorvik {

std::string SockaddrIP(const sockaddr_storage& ss) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, buf, sizeof buf);
  } else if (ss.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, buf, sizeof buf);
  }
  return buf;
}

uint16_t SockaddrPort(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

void SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool PeerGoneError(int code) {
  return code == ECONNRESET || code == ECONNABORTED || code == ESHUTDOWN || code == EPIPE;
}

void IgnoreSigpipe() {
  // Looked at on every call (two system calls): whoever set SIGPIPE back to
  // its default meanwhile is covered again, and a handler of its own is kept.
  struct sigaction old {};
  if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
  }
}

long RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return static_cast<long>(lim.rlim_cur);
}

std::shared_mutex& DescriptorSwapLock() {
  static std::shared_mutex lock;
  return lock;
}

namespace {

bool IsLoopback(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr.s_addr) >> 24) == 127;
  }
  if (ss.ss_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
  }
  return false;
}

}  // namespace

bool UnpaceLoopback(int fd) {
  char name[16] = {};  // TCP_CA_NAME_MAX
  socklen_t len = sizeof name;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &len) != 0) return false;
  if (std::strncmp(name, "bbr", 3) != 0) return false;
  sockaddr_storage peer{};
  socklen_t plen = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0 || !IsLoopback(peer)) return false;
  for (const char* ca : {"cubic", "reno"}) {
    if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, ca, static_cast<socklen_t>(std::strlen(ca))) == 0) return true;
  }
  return false;
}

void RunAbandonable(std::function<void()> work, TWaker& cancel) {
  // Shared by the waiting caller and the thread; whichever lets go last frees
  // it. The thread wakes it when `work` is done.
  auto done = std::make_shared<TWaker>();
  TWaker::Scope cancelWait(cancel);
  TWaker::Scope doneWait(*done);
  try {
    std::thread([done, work = std::move(work)] {
      work();
      done->Wake();
    }).detach();
  } catch (const std::system_error&) {
    RaiseSocketError(EAGAIN);
  }
  // Bounded by `work` and by the cancel. Woken() orders this thread after
  // the helper's Wake(), which came after `work` stored its result.
  for (;;) {
    if (cancel.Woken()) throw EIdConnectionCancelled(kMsgCancelled);
    if (done->Woken()) return;
    WakeablePoll(nullptr, 0, -1);
  }
}

bool SetKeepAlive(int fd, int idleS, int intervalS, int count) {
  const int on = 1;
  const long long giveUpMs = (static_cast<long long>(idleS) + static_cast<long long>(intervalS) * count) * 1000;
  const unsigned int userTimeout = giveUpMs > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<unsigned int>(giveUpMs);
  bool ok = ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS) == 0 && ok;
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS) == 0 && ok;
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
  ok = ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0 && ok;
  return ok;
}

}  // namespace sorvik
