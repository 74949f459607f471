#include "proxy/socks_info.h"

#include <cerrno>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/io_handler.h"
#include "proxy/name_lookup.h"

namespace sorvik {

namespace {

// Runs one SOCKS 5 reply read; every failure of the read itself becomes
// "Socks server did not respond.". A cancelled connection (server deactivation)
// keeps its own error so that the worker ends quietly, and a reply that did not
// come within the handler's reply bound keeps the socket time-out error.
template <class Read>
void Socks5Read(Read read) {
  try {
    read();
  } catch (const EIdConnectionCancelled&) {
    throw;
  } catch (const EIdSocketError& e) {
    if (e.LastError == ETIMEDOUT) throw;
    throw EIdSocksServerRespondError(kMsgSocksServerRespondError);
  } catch (const std::exception&) {
    throw EIdSocksServerRespondError(kMsgSocksServerRespondError);
  }
}

// Sends `bytes` through the handler's write buffer as one write; the collected
// bytes are dropped when anything fails on the way.
void SendAsOneWrite(TIdIOHandler& io, const std::vector<uint8_t>& bytes) {
  io.WriteBufferOpen();
  try {
    io.Write(bytes);
    io.WriteBufferClose();
  } catch (...) {
    io.WriteBufferCancel();
    throw;
  }
}

}  // namespace

TIdSocksInfo::TIdSocksInfo(TIdComponent* owner) : TIdCustomTransparentProxy(owner) { Port = kDefaultPort; }

bool TIdSocksInfo::Enabled() const {
  return Version == svSocks4 || Version == svSocks4A || Version == svSocks5;
}

void TIdSocksInfo::Assign(const TIdCustomTransparentProxy& source) {
  TIdCustomTransparentProxy::Assign(source);
  if (auto* socks = dynamic_cast<const TIdSocksInfo*>(&source)) {
    Authentication = socks->Authentication;
    Version = socks->Version;
  }
}

std::unique_ptr<TIdCustomTransparentProxy> TIdSocksInfo::Clone() const {
  auto copy = std::make_unique<TIdSocksInfo>();
  copy->Assign(*this);
  return copy;
}

void TIdSocksInfo::FireConnecting(const std::string& host, uint16_t port) {
  // Not DoStatus: the base text of hsConnecting would add "Connecting to %s.".
  if (OnStatus) OnStatus(*this, hsConnecting, "Connecting to " + host + ":" + std::to_string(port));
}

std::array<uint8_t, 4> TIdSocksInfo::ResolveIPv4(const std::string& host, TWaker* cancel) {
  if (auto known = KnownIPv4Address(host)) return *known;
  if (auto found = LookupIPv4(host, cancel)) return *found;
  RaiseSocketError(kHostNotFoundError);
}

void TIdSocksInfo::Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion) {
  FireConnecting(host, port);
  switch (Version) {
    case svSocks4:
    case svSocks4A: {
      Socks4Request(io, socks::kCmdConnect, host, port);
      break;
    }
    case svSocks5:
      Socks5Negotiate(io);
      Socks5Request(io, socks::kCmdConnect, host, port);
      break;
    case svNoSocks:
      break;
  }
}

void TIdSocksInfo::Socks4Request(TIdIOHandler& io, uint8_t command, const std::string& host, uint16_t port) {
  const bool is4A = Version == svSocks4A;
  const std::array<uint8_t, 4> address = is4A ? std::array<uint8_t, 4>{0, 0, 0, 1} : ResolveIPv4(host, &io.CancelWaker());
  SendAsOneWrite(io, socks::BuildSocks4Request(command, port, address, Username, is4A, host));
  // Not wrapped: a proxy that closes reports "Connection Closed Gracefully.".
  std::vector<uint8_t> reply;
  io.ReadBytes(reply, socks::kSocks4ReplySize);
  socks::CheckSocks4Reply(reply.data());
}

void TIdSocksInfo::Socks5Negotiate(TIdIOHandler& io) {
  const uint8_t method = Authentication == saUsernamePassword ? socks::kMethodUserPass : socks::kMethodNone;
  io.Write(socks::BuildSocks5Greeting(method));
  std::vector<uint8_t> reply;
  Socks5Read([&] { io.ReadBytes(reply, socks::kSocks5MethodReplySize); });
  socks::CheckSocks5MethodReply(reply.data(), method);
  if (method == socks::kMethodUserPass) {
    io.Write(socks::BuildSocks5Auth(Username, Password));
    reply.clear();
    Socks5Read([&] { io.ReadBytes(reply, socks::kSocks5AuthReplySize); });
    socks::CheckSocks5AuthReply(reply.data());
  }
}

void TIdSocksInfo::Socks5Request(TIdIOHandler& io, uint8_t command, const std::string& host, uint16_t port) {
  io.Write(socks::BuildSocks5Request(command, host, port));
  Socks5ReadReply(io);
}

void TIdSocksInfo::Socks5ReadReply(TIdIOHandler& io) {
  std::vector<uint8_t> head;
  Socks5Read([&] { io.ReadBytes(head, socks::kSocks5ReplyHeadSize); });
  const size_t rest = socks::CheckSocks5ReplyHead(head.data());
  // The bound address and port are not used; the next byte belongs to the destination.
  Socks5Read([&] { io.Discard(static_cast<int64_t>(rest)); });
}

void TIdSocksInfo::BindThrough(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion) {
  switch (Version) {
    case svSocks4:
    case svSocks4A:
      Socks4Request(io, socks::kCmdBind, host, port);
      break;
    case svSocks5:
      Socks5Negotiate(io);
      Socks5Request(io, socks::kCmdBind, host, port);
      break;
    case svNoSocks:
      break;
  }
}

bool TIdSocksInfo::AwaitInbound(TIdIOHandler& io, int timeoutMs) {
  if (!Enabled()) return false;
  // Wait (bounded by timeoutMs) for the first byte of the second reply only; the
  // rest of the reply is then read under the handler's own time limit.
  if (io.InputBufferIsEmpty()) {
    const int saved = io.ReadTimeout;
    io.ReadTimeout = timeoutMs > 0 ? timeoutMs : -1;
    try {
      io.FillInputBuffer();
    } catch (const EIdReadTimeout&) {
      io.ReadTimeout = saved;
      return false;
    } catch (const EIdConnectionCancelled&) {
      io.ReadTimeout = saved;
      throw;
    } catch (const std::exception&) {
      io.ReadTimeout = saved;
      if (Version == svSocks5) throw EIdSocksServerRespondError(kMsgSocksServerRespondError);
      throw;
    }
    io.ReadTimeout = saved;
  }
  if (Version == svSocks5) {
    Socks5ReadReply(io);
  } else {
    std::vector<uint8_t> reply;
    io.ReadBytes(reply, socks::kSocks4ReplySize);
    socks::CheckSocks4Reply(reply.data());
  }
  return true;
}

void TIdSocksInfo::RaiseUDP() const {
  if (Version == svSocks4 || Version == svSocks4A) {
    throw EIdSocksUDPNotSupportedBySOCKSVersion(kMsgSocksUDPNotSupported);
  }
  throw EIdTransparentProxyUDPNotSupported(kMsgUDPNotSupported);
}

void TIdSocksInfo::OpenDatagramRelay(int, const std::string&, uint16_t, TIdIPVersion) { RaiseUDP(); }
void TIdSocksInfo::CloseDatagramRelay(int) { RaiseUDP(); }
int TIdSocksInfo::ReceiveDatagram(int, std::vector<uint8_t>&, std::string&, uint16_t&, TIdIPVersion&, int) {
  RaiseUDP();
}
void TIdSocksInfo::SendDatagram(int, const std::string&, uint16_t, TIdIPVersion, const std::vector<uint8_t>&) {
  RaiseUDP();
}

}  // namespace sorvik
