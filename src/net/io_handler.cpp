#include "net/io_handler.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/socket_util.h"
#include "net/transparent_proxy.h"

namespace sorvik {

namespace {

using Clock = std::chrono::steady_clock;

// Slice of the connect wait: the worker looks at the time limit and the cancel
// flag at least this often.
constexpr int kConnectSliceMs = 125;

[[noreturn]] void RaiseCancelled() { throw EIdConnectionCancelled(kMsgCancelled); }

}  // namespace

// ---------------------------------------------------------------------------

TIdIOHandler::TIdIOHandler(TIdComponent* owner) : TIdComponent(owner) {}

TIdIOHandler::~TIdIOHandler() {
  CloseSocket();
  ReleaseProxy();
}

TIdSocketBinding TIdIOHandler::BindingSnapshot() const {
  std::lock_guard<std::mutex> lock(binding_lock_);
  return binding_;
}

// ---- transparent proxy slot ------------------------------------------------

void TIdIOHandler::ReleaseProxy() {
  if (!proxy_) return;
  if (proxy_owned_) {
    delete proxy_;
  } else {
    proxy_->RemoveFreeNotification(this);
  }
  proxy_ = nullptr;
  proxy_owned_ = false;
}

void TIdIOHandler::SetTransparentProxy(TIdCustomTransparentProxy* proxy) {
  if (proxy == proxy_) return;
  if (!proxy) {
    ReleaseProxy();
    return;
  }
  if (proxy->Owner()) {
    ReleaseProxy();
    proxy_ = proxy;
    proxy_owned_ = false;
    proxy_->FreeNotification(this);
    return;
  }
  // An unowned proxy: keep a private copy of the same class.
  if (proxy_ && proxy_owned_ && std::strcmp(proxy_->ClassName(), proxy->ClassName()) == 0) {
    proxy_->Assign(*proxy);
    return;
  }
  std::unique_ptr<TIdCustomTransparentProxy> copy = proxy->Clone();
  ReleaseProxy();
  proxy_ = copy.release();
  proxy_owned_ = true;
}

void TIdIOHandler::Notification(TIdComponent* dying) {
  if (dying == proxy_) {
    proxy_ = nullptr;
    proxy_owned_ = false;
  }
  TIdComponent::Notification(dying);
}

// ---- cancellation and waits ------------------------------------------------

// Any thread.
void TIdIOHandler::Cancel() {
  // Cancelled for good: every later wait sees it too.
  cancel_waker_.Wake();
}

void TIdIOHandler::CheckCancelled() const {
  if (Cancelled()) RaiseCancelled();
}

// Worker thread. Bounded by timeout_ms (<= 0: none) and by Cancel().
bool TIdIOHandler::WaitFor(short events, int timeout_ms) {
  TWaker::Scope wakeable(cancel_waker_);  // registered before the flag is read
  CheckCancelled();
  if (binding_.Handle < 0) throw EIdNotConnected(kMsgNotConnected);
  pollfd fds[1] = {{binding_.Handle, events, 0}};
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    int wait = -1;
    if (timeout_ms > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      wait = static_cast<int>(left);
    }
    int r = WakeablePoll(fds, 1, wait);
    if (r < 0 && errno != EINTR) RaiseSocketError(errno);
    if (Cancelled()) RaiseCancelled();
    if (r < 0) continue;  // another signal
    if (r > 0 && fds[0].revents) return true;
    if (r == 0 && timeout_ms > 0) return false;
  }
}

bool TIdIOHandler::WaitReadable(int timeout_ms) { return WaitFor(POLLIN, timeout_ms); }
bool TIdIOHandler::WaitWritable(int timeout_ms) { return WaitFor(POLLOUT, timeout_ms); }

// ---- life cycle ------------------------------------------------------------

void TIdIOHandler::SetBindingFromSocket(int fd) {
  TIdSocketBinding b;
  b.Handle = fd;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
    b.IP = SockaddrIP(ss);
    b.Port = SockaddrPort(ss);
    b.IPVersion = ss.ss_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
  }
  len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
    b.PeerIP = SockaddrIP(ss);
    b.PeerPort = SockaddrPort(ss);
  }
  std::lock_guard<std::mutex> lock(binding_lock_);
  binding_ = std::move(b);
}

void TIdIOHandler::CloseSocket() {
  int fd;
  {
    std::lock_guard<std::mutex> lock(binding_lock_);
    fd = binding_.Handle;
    binding_.Handle = -1;
  }
  if (fd >= 0) ::close(fd);
}

void TIdIOHandler::AttachSocket(int fd) {
  CloseSocket();
  SetNonBlocking(fd);
  SetBindingFromSocket(fd);
}

void TIdIOHandler::Close() {
  CloseSocket();
  buffering_ = false;
  write_buffer_.clear();
}

bool TIdIOHandler::Connected() const { return binding_.Handle >= 0; }

void TIdIOHandler::Open() {
  first_proxy_unreachable_ = false;
  try {
    Close();
    input_.clear();
    CheckCancelled();
    TIdCustomTransparentProxy* proxy = (proxy_ && proxy_->Enabled()) ? proxy_ : nullptr;
    if (proxy) {
      try {
        ConnectSocket(proxy->Host, proxy->Port, proxy->IPVersion);
      } catch (...) {
        first_proxy_unreachable_ = true;
        throw;
      }
      // A proxy client may open the connection again from inside its handshake
      // (the HTTP client's reconnect): the outer walk keeps its bound.
      const bool outer = reply_bound_armed_;
      reply_bound_armed_ = ProxyReplyTimeout > 0;
      reply_deadline_ = Clock::now() + std::chrono::milliseconds(ProxyReplyTimeout);
      try {
        proxy->Connect(*this, Host, Port, IPVersion);
      } catch (...) {
        reply_bound_armed_ = outer;
        throw;
      }
      reply_bound_armed_ = outer;
    } else {
      ConnectSocket(Host, Port, IPVersion);
    }
  } catch (...) {
    Close();
    throw;
  }
}

// Worker thread: the address of the target, looked up when the host is a
// name, then the connect within the time limit. Every wait here is cancellable.
void TIdIOHandler::ConnectSocket(const std::string& host, uint16_t port, TIdIPVersion version) {
  sockaddr_storage addr{};
  socklen_t addr_len = LiteralAddress(host, port, version, addr);
  if (addr_len == 0) addr_len = ResolveAddress(host, port, version, addr);
  ConnectWithinTimeLimit(addr, addr_len);  // reports hsConnecting
}

// The address of a host given as an address literal ("LOCALHOST" counts as
// one for IPv4), with the port; 0 when the host is a name to look up.
socklen_t TIdIOHandler::LiteralAddress(const std::string& host, uint16_t port, TIdIPVersion version,
                                       sockaddr_storage& addr) {
  if (version == Id_IPv4) {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    // The same reading as the SOCKS requests' (net/address_literal.h): what
    // is not LOCALHOST or a dotted literal is a name for the resolver.
    const auto known = KnownIPv4Address(host);
    if (!known) return 0;
    std::memcpy(&a->sin_addr, known->data(), known->size());
    return sizeof(sockaddr_in);
  }
  auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
  a->sin6_family = AF_INET6;
  a->sin6_port = htons(port);
  const auto literal = ParseIPv6Literal(host);
  if (!literal) return 0;
  std::memcpy(&a->sin6_addr, literal->data(), literal->size());
  return sizeof(sockaddr_in6);
}

// Looks the host name up (firing hsResolving) and gives the first address of
// the version's family with the port.
socklen_t TIdIOHandler::ResolveAddress(const std::string& host, uint16_t port, TIdIPVersion version,
                                       sockaddr_storage& addr) {
  DoStatus(hsResolving, host);
  // The lookup may take seconds (an unreachable name server); it runs on a
  // detached thread so that Cancel() still ends this wait at once.
  struct Found {
    sockaddr_storage addr{};
    socklen_t addr_len = 0;
    bool ok = false;
  };
  auto lookup = std::make_shared<Found>();
  const int family = version == Id_IPv6 ? AF_INET6 : AF_INET;
  RunAbandonable(
      [lookup, host, family] {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res) {
          std::memcpy(&lookup->addr, res->ai_addr, res->ai_addrlen);
          lookup->addr_len = res->ai_addrlen;
          lookup->ok = true;
        }
        if (res) ::freeaddrinfo(res);
      },
      cancel_waker_);
  if (!lookup->ok) RaiseSocketError(kHostNotFoundError);
  addr = lookup->addr;
  if (addr.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(port);
  }
  return lookup->addr_len;
}

// Makes the socket and connects it; the socket becomes this handler's as soon
// as it exists, so that Close() and Cancel() reach it during the wait.
void TIdIOHandler::ConnectWithinTimeLimit(const sockaddr_storage& addr, socklen_t addr_len) {
  // The socket follows the family of the address it connects to, so a proxy
  // reached over IPv4 works for an IPv6 destination and the other way round.
  int fd;
  {
    std::shared_lock<std::shared_mutex> room(DescriptorSwapLock());
    fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  if (fd < 0) RaiseSocketError(errno);
  {
    std::lock_guard<std::mutex> lock(binding_lock_);
    binding_.Handle = fd;
  }
  // Reported once the socket exists: a process out of descriptors refuses the
  // connection without a status line for a connect that never began.
  DoStatus(hsConnecting, SockaddrIP(addr));
  int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), addr_len);
  if (r != 0 && errno != EINPROGRESS && errno != EINTR) RaiseSocketError(errno);
  if (r != 0) {
    // Wait in slices of at most 125 ms: ConnectTimeout > 0 is counted down,
    // 0 and -1 wait until the system ends the connect. Cancel() ends it too.
    const bool limited = ConnectTimeout > 0;
    int remaining = ConnectTimeout;
    pollfd fds[1] = {{fd, POLLOUT, 0}};
    TWaker::Scope wakeable(cancel_waker_);
    for (;;) {
      int slice = kConnectSliceMs;
      if (limited) {
        if (remaining <= 0) {
          Close();
          throw EIdConnectTimeout(kMsgConnectTimeout);
        }
        slice = std::min(slice, remaining);
      }
      CheckCancelled();
      auto start = Clock::now();
      int pr = WakeablePoll(fds, 1, slice);
      if (pr < 0 && errno != EINTR) RaiseSocketError(errno);
      CheckCancelled();
      if (pr > 0 && fds[0].revents) break;
      if (limited) {
        // A slice that ran out counts whole; an interrupted one by its time.
        remaining -= pr == 0 ? slice
                             : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    Clock::now() - start)
                                                    .count());
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) RaiseSocketError(err);
  }
  SetBindingFromSocket(fd);
}

// ---- raw transport ---------------------------------------------------------

int TIdIOHandler::ReadAvailable(uint8_t* buf, int len) {
  for (;;) {
    ssize_t r = ::recv(binding_.Handle, buf, static_cast<size_t>(len), 0);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kReadAgain;
    return -errno;
  }
}

int TIdIOHandler::WriteAll(const uint8_t* buf, int len) {
  int done = 0;
  while (done < len) {
    ssize_t r = ::send(binding_.Handle, buf + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
    if (r > 0) {
      done += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitWritable(-1);  // bounded by the peer reading, or by Cancel()
      continue;
    }
    return r == 0 ? 0 : -errno;
  }
  return len;
}

int TIdIOHandler::WriteAvailable(const uint8_t* buf, int len) {
  for (;;) {
    ssize_t r = ::send(binding_.Handle, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWriteAgain;
    return -errno;
  }
}

void TIdIOHandler::ShutdownWrite() {
  if (binding_.Handle >= 0) ::shutdown(binding_.Handle, SHUT_WR);
}

void TIdIOHandler::LingeringClose(int quietMs, int totalMs) {
  if (binding_.Handle < 0) return;
  try {
    ShutdownWrite();
  } catch (...) {
  }
  const int fd = binding_.Handle;
  const auto end = Clock::now() + std::chrono::milliseconds(totalMs);
  auto quietEnd = Clock::now() + std::chrono::milliseconds(quietMs);
  pollfd fds[1] = {{fd, POLLIN, 0}};
  TWaker::Scope wakeable(cancel_waker_);
  uint8_t scratch[4096];
  for (;;) {
    // Looked at on every pass: a peer that never stops sending would
    // otherwise keep a stop waiting until the whole close has taken totalMs.
    if (Cancelled()) break;
    ssize_t r = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (r > 0) {
      quietEnd = Clock::now() + std::chrono::milliseconds(quietMs);
      if (Clock::now() >= end) break;
      continue;
    }
    if (r == 0) break;  // the peer has closed
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;  // reset or other failure
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(end, quietEnd) - Clock::now()).count();
    if (left <= 0 || Cancelled()) break;
    int p = WakeablePoll(fds, 1, static_cast<int>(left));
    if (p < 0 && errno != EINTR) break;
    if (Cancelled()) break;
  }
  try {
    Close();
  } catch (...) {
  }
}

void TIdIOHandler::CheckForError(int result) {
  const int code = -result;
  if (PeerGoneError(code)) return;  // the caller treats the side as closed
  RaiseError(code);
}

void TIdIOHandler::RaiseError(int code) { RaiseSocketError(code); }

// ---- input buffer and reads -------------------------------------------------

void TIdIOHandler::FillInputBuffer() {
  for (;;) {
    CheckCancelled();
    if (!Connected()) throw EIdConnClosedGracefully(kMsgConnClosedGracefully);
    if (!TransportPending()) {
      if (ReadTimeout <= 0 && reply_bound_armed_) {
        // A proxy reply: bounded by the reply deadline and by Cancel().
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(reply_deadline_ - Clock::now()).count();
        if (left <= 0 || !WaitReadable(static_cast<int>(std::max<long long>(left, 1)))) RaiseSocketError(ETIMEDOUT);
      } else if (!WaitReadable(ReadTimeout > 0 ? ReadTimeout : -1)) {
        // Bounded by ReadTimeout (> 0) and by Cancel().
        throw EIdReadTimeout(kMsgReadTimeout);
      }
    }
    const size_t old = input_.size();
    input_.resize(old + kRecvBufferSize);
    int n = ReadAvailable(input_.data() + old, kRecvBufferSize);
    input_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) return;
    if (n == kReadAgain) continue;
    if (n < 0) CheckForError(n);  // raises unless the peer is gone
    Close();
    throw EIdConnClosedGracefully(kMsgConnClosedGracefully);
  }
}

void TIdIOHandler::ReadBytes(std::vector<uint8_t>& out, size_t count) {
  while (input_.size() < count) FillInputBuffer();
  out.insert(out.end(), input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
}

uint8_t TIdIOHandler::ReadByte() {
  while (input_.empty()) FillInputBuffer();
  uint8_t b = input_.front();
  input_.erase(input_.begin());
  return b;
}

uint16_t TIdIOHandler::ReadUInt16() {
  std::vector<uint8_t> b;
  ReadBytes(b, 2);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

std::string TIdIOHandler::ReadLn() {
  size_t searched = 0;
  for (;;) {
    auto it = std::find(input_.begin() + static_cast<std::ptrdiff_t>(searched), input_.end(), uint8_t('\n'));
    if (it != input_.end()) {
      size_t len = static_cast<size_t>(it - input_.begin());
      size_t textLen = (len > 0 && input_[len - 1] == '\r') ? len - 1 : len;
      if (textLen > static_cast<size_t>(MaxLineLength)) throw EIdReadLnMaxLineLengthExceeded(kMsgMaxLineLength);
      std::string line(textLen, '\0');
      for (size_t i = 0; i < textLen; ++i) line[i] = input_[i] > 127 ? '?' : static_cast<char>(input_[i]);
      input_.erase(input_.begin(), it + 1);
      return line;
    }
    searched = input_.size();
    // A CR may still be followed by the LF; allow for it in the limit.
    if (input_.size() > static_cast<size_t>(MaxLineLength) + 1) {
      throw EIdReadLnMaxLineLengthExceeded(kMsgMaxLineLength);
    }
    FillInputBuffer();
  }
}

std::vector<std::string> TIdIOHandler::ReadHeaderLines() {
  std::vector<std::string> lines;
  for (;;) {
    std::string line = ReadLn();
    if (line.empty()) return lines;
    lines.push_back(std::move(line));
  }
}

void TIdIOHandler::Discard(int64_t count) {
  while (count > 0) {
    if (input_.empty()) FillInputBuffer();
    size_t n = std::min(input_.size(), static_cast<size_t>(count));
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    count -= static_cast<int64_t>(n);
  }
}

// ---- writes ----------------------------------------------------------------

void TIdIOHandler::Write(const uint8_t* data, size_t count) {
  if (count == 0) return;
  if (buffering_) {
    write_buffer_.insert(write_buffer_.end(), data, data + count);
    return;
  }
  CheckCancelled();
  if (!Connected()) throw EIdNotConnected(kMsgNotConnected);
  if (reply_bound_armed_) reply_deadline_ = Clock::now() + std::chrono::milliseconds(ProxyReplyTimeout);
  while (count > 0) {
    int piece = static_cast<int>(std::min<size_t>(count, 1u << 30));
    int r = WriteAll(data, piece);
    if (r == piece) {
      data += piece;
      count -= static_cast<size_t>(piece);
      continue;
    }
    if (r < 0) CheckForError(r);  // raises unless the peer is gone
    Close();
    throw EIdConnClosedGracefully(kMsgConnClosedGracefully);
  }
}

void TIdIOHandler::WriteByte(uint8_t b) { Write(&b, 1); }

void TIdIOHandler::WriteUInt16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
  Write(b, 2);
}

void TIdIOHandler::WriteText(std::string_view s) {
  // One byte per character: ASCII as is, any other character (a UTF-8 lead byte
  // with its continuation bytes, or a stray byte) as one '?'.
  std::string out;
  out.reserve(s.size());
  bool inSequence = false;
  for (unsigned char c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      inSequence = false;
    } else if ((c & 0xC0) == 0x80 && inSequence) {
      continue;
    } else {
      out.push_back('?');
      inSequence = (c & 0xC0) == 0xC0;
    }
  }
  Write(reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

void TIdIOHandler::WriteLn(std::string_view s) {
  std::string line(s);
  line += "\r\n";
  WriteText(line);
}

void TIdIOHandler::WriteBufferOpen() {
  buffering_ = true;
  write_buffer_.clear();
}

void TIdIOHandler::WriteBufferClose() {
  buffering_ = false;
  std::vector<uint8_t> pending;
  pending.swap(write_buffer_);
  Write(pending.data(), pending.size());
}

void TIdIOHandler::WriteBufferCancel() {
  buffering_ = false;
  write_buffer_.clear();
}

}  // namespace sorvik
