#include "proxy/name_lookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "net/exceptions.h"

namespace sorvik {

namespace {

// Shared by the waiting worker and the lookup thread; whichever lets go last
// frees it. `result` is written by the lookup thread before it signals done_fd
// and read by the worker only after it has seen that signal.
struct PendingLookup {
  int done_fd = -1;
  std::optional<std::array<uint8_t, 4>> result;
  ~PendingLookup() {
    if (done_fd >= 0) ::close(done_fd);
  }
};

}  // namespace

std::optional<std::array<uint8_t, 4>> SystemLookupIPv4(const std::string& host) {
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  std::array<uint8_t, 4> out{};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  std::memcpy(out.data(), &sin->sin_addr, 4);
  ::freeaddrinfo(list);
  return out;
}

std::optional<std::array<uint8_t, 4>> LookupIPv4(const std::string& host, int cancelHandle,
                                                 const IPv4Lookup& lookup) {
  if (cancelHandle < 0) return lookup(host);
  auto pending = std::make_shared<PendingLookup>();
  pending->done_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (pending->done_fd < 0) RaiseSocketError(errno);
  try {
    std::thread([pending, host, lookup] {
      pending->result = lookup(host);
      uint64_t one = 1;
      [[maybe_unused]] ssize_t w = ::write(pending->done_fd, &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    RaiseSocketError(EAGAIN);
  }
  // Bounded by the resolver and by the cancel handle.
  pollfd fds[2] = {{pending->done_fd, POLLIN, 0}, {cancelHandle, POLLIN, 0}};
  for (;;) {
    const int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) RaiseSocketError(errno);
    if (fds[1].revents) throw EIdConnectionCancelled(kMsgCancelled);
    if (fds[0].revents) break;
  }
  // Reading the eventfd orders this thread after the lookup thread's write,
  // which came after it stored the result.
  uint64_t done = 0;
  [[maybe_unused]] ssize_t rd = ::read(pending->done_fd, &done, sizeof done);
  return pending->result;
}

}  // namespace sorvik
