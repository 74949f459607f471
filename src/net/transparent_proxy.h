// Base of the proxy clients (SOCKS, HTTP CONNECT): the proxy server's address and
// credentials, the link to the next hop, and the walk along the chain.
//
// Thread contract: proxies belong to one connection's worker thread; never shared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/component.h"

namespace sorvik {

class TIdIOHandler;

class TIdCustomTransparentProxy : public TIdComponent {
 public:
  explicit TIdCustomTransparentProxy(TIdComponent* owner = nullptr);
  ~TIdCustomTransparentProxy() override;

  std::string Host;
  std::string Password;
  uint16_t Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  std::string Username;

  TIdCustomTransparentProxy* ChainedProxy() const { return chained_; }
  // Raises EIdTransparentProxyCircularLink ("<ClassName>: Circular links are not
  // allowed") and keeps the old link when `next` leads back to this proxy.
  void SetChainedProxy(TIdCustomTransparentProxy* next);

  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool value);

  // Walks the chain from this hop: asks this proxy for the next enabled hop (or
  // for host:port when there is none) and goes on from there.
  void Connect(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion);

  // Copies Host, Password, Port, IPVersion, Username (never ChainedProxy).
  virtual void Assign(const TIdCustomTransparentProxy& source);
  // A new unowned object of the same class with Assign() applied.
  virtual std::unique_ptr<TIdCustomTransparentProxy> Clone() const = 0;
  virtual const char* ClassName() const = 0;

  virtual void Handshake(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion) = 0;
  // Datagram operations: the base raises EIdTransparentProxyUDPNotSupported.
  virtual void OpenDatagramRelay(int handle, const std::string& host, uint16_t port, TIdIPVersion ipVersion);
  virtual void CloseDatagramRelay(int handle);
  virtual int ReceiveDatagram(int handle, std::vector<uint8_t>& buffer, std::string& peerHost, uint16_t& peerPort,
                              TIdIPVersion& ipVersion, int timeoutMs);
  virtual void SendDatagram(int handle, const std::string& host, uint16_t port, TIdIPVersion ipVersion,
                            const std::vector<uint8_t>& bytes);
  // Bind operations: the base raises EIdTransparentProxyCantBind.
  virtual void BindThrough(TIdIOHandler& io, const std::string& host, uint16_t port, TIdIPVersion ipVersion);
  virtual bool AwaitInbound(TIdIOHandler& io, int timeoutMs);

 protected:
  void Notification(TIdComponent* dying) override;
  // Called by a Handshake that has rebuilt the whole connection (the HTTP client's
  // reconnect for credentials): the stream then already reaches the final
  // destination through every hop, so Connect stops walking the chain.
  void MarkStreamAtDestination() { stream_at_destination_ = true; }

 private:
  TIdCustomTransparentProxy* chained_ = nullptr;
  bool stream_at_destination_ = false;  // set by MarkStreamAtDestination, taken by Connect
};

}  // namespace sorvik
