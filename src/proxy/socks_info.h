// The SOCKS hop of a proxy chain: SOCKS 4, the 4A extension, and SOCKS 5 with
// the username/password sub-negotiation. The wire bytes are built and judged in
// socks_wire.h; this class sends, reads and raises.
//
// Thread contract: one object serves one connection, on that connection's
// worker thread; nothing is locked.
#pragma once

#include <memory>
#include <string>

#include "net/thread_wake.h"
#include "net/transparent_proxy.h"
#include "proxy/socks_wire.h"

namespace sorvik {

enum TSocksVersion { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };
enum TSocksAuthentication { saNoAuthentication = 0, saUsernamePassword = 1 };

class TIdSocksInfo : public TIdCustomTransparentProxy {
 public:
  static constexpr uint16_t kDefaultPort = 1080;

  explicit TIdSocksInfo(TIdComponent* owner = nullptr);

  TSocksAuthentication Authentication = saNoAuthentication;
  TSocksVersion Version = svNoSocks;

  // True for svSocks4, svSocks4A and svSocks5; writing has no effect.
  bool Enabled() const override;
  // Besides the base fields, copies Authentication and Version from another SOCKS client.
  void Assign(const TIdCustomTransparentProxy& source) override;
  std::unique_ptr<TIdCustomTransparentProxy> Clone() const override;
  const char* ClassName() const override { return "TIdSocksInfo"; }

  // Fires OnStatus(self, hsConnecting, "Connecting to <host>:<port>") and runs
  // the CONNECT exchange of Version. Every read waits as long as io.ReadTimeout allows.
  void Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion) override;

  // BIND (command 2) of SOCKS 4/4A/5: asks the server to listen for one inbound
  // connection from host:port and reads its first reply. svNoSocks does nothing.
  void BindThrough(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion) override;
  // Waits up to timeoutMs (<= 0: no limit) for the second BIND reply: true when
  // the inbound connection was granted (the stream then belongs to it), false when
  // nothing arrived in time; a refusal raises as for CONNECT. svNoSocks: false.
  bool AwaitInbound(TIdIOHandler& io, int timeoutMs) override;

  // The datagram relay is not carried: SOCKS 4/4A raise
  // EIdSocksUDPNotSupportedBySOCKSVersion; SOCKS 5 and svNoSocks raise the
  // base's EIdTransparentProxyUDPNotSupported ("UDP Not supported by this proxy.").
  void OpenDatagramRelay(int handle, const std::string& host, uint16_t port, TIdIPVersion ipVersion) override;
  void CloseDatagramRelay(int handle) override;
  int ReceiveDatagram(int handle, std::vector<uint8_t>& buffer, std::string& peerHost, uint16_t& peerPort,
                      TIdIPVersion& ipVersion, int timeoutMs) override;
  void SendDatagram(int handle, const std::string& host, uint16_t port, TIdIPVersion ipVersion,
                    const std::vector<uint8_t>& bytes) override;

  // The IPv4 address SOCKS 4 sends for `host`: KnownIPv4Address (LOCALHOST in
  // any case is 127.0.0.1, a dotted literal is its own address, the same rule
  // as a direct connect's), else the system resolver's first IPv4 address.
  // A failed lookup raises EIdSocketError 11001 ("Host not found."). The wait
  // for the resolver is bounded by it and by `cancel` (an I/O handler's
  // CancelWaker(); null: none), which raises EIdConnectionCancelled.
  static std::array<uint8_t, 4> ResolveIPv4(const std::string& host, TWaker* cancel = nullptr);

 private:
  void FireConnecting(const std::string& host, uint16_t port);
  void Socks4Request(TIdIOHandler& io, uint8_t command, const std::string& host, uint16_t port);
  void Socks5Negotiate(TIdIOHandler& io);
  void Socks5Request(TIdIOHandler& io, uint8_t command, const std::string& host, uint16_t port);
  void Socks5ReadReply(TIdIOHandler& io);
  [[noreturn]] void RaiseUDP() const;
};

}  // namespace sorvik
