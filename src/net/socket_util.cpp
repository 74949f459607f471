#include "net/socket_util.h"

#include <sys/resource.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <netinet/in.h>
#include <signal.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "net/exceptions.h"

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

void RunAbandonable(std::function<void()> work, int cancelFd) {
  // Shared by the waiting caller and the thread; whichever lets go last frees it.
  struct Done {
    int fd = -1;
    ~Done() {
      if (fd >= 0) ::close(fd);
    }
  };
  auto done = std::make_shared<Done>();
  done->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (done->fd < 0) RaiseSocketError(errno);
  try {
    std::thread([done, work = std::move(work)] {
      work();
      uint64_t one = 1;
      [[maybe_unused]] ssize_t w = ::write(done->fd, &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    RaiseSocketError(EAGAIN);
  }
  // Bounded by `work` and by the cancel handle.
  pollfd fds[2] = {{done->fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
  for (;;) {
    const int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) RaiseSocketError(errno);
    if (fds[1].revents) throw EIdConnectionCancelled(kMsgCancelled);
    if (fds[0].revents) break;
  }
  // Reading the eventfd orders this thread after the worker's write, which
  // came after `work` stored its result.
  uint64_t n = 0;
  [[maybe_unused]] ssize_t rd = ::read(done->fd, &n, sizeof n);
}

}  // namespace sorvik
