#include "net/transparent_proxy.h"

#include <utility>

#include "net/exceptions.h"
#include "net/io_handler.h"

namespace sorvik {

TIdCustomTransparentProxy::TIdCustomTransparentProxy(TIdComponent* owner) : TIdComponent(owner) {}

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() = default;

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* next) {
  if (next == chained_) return;
  // Walk from the new next hop; meeting this proxy again would close a loop.
  for (TIdCustomTransparentProxy* p = next; p != nullptr; p = p->ChainedProxy()) {
    if (p == this) throw EIdTransparentProxyCircularLink(std::string(ClassName()) + kMsgCircularLink);
  }
  if (chained_) chained_->RemoveFreeNotification(this);
  chained_ = next;
  if (chained_) chained_->FreeNotification(this);
}

void TIdCustomTransparentProxy::Notification(TIdComponent* dying) {
  if (dying == chained_) chained_ = nullptr;
  TIdComponent::Notification(dying);
}

void TIdCustomTransparentProxy::SetEnabled(bool) {}

void TIdCustomTransparentProxy::Connect(TIdIOHandler& io, const std::string& host, uint16_t port,
                                        TIdIPVersion ipVersion) {
  TIdCustomTransparentProxy* next = ChainedProxy();
  if (next && next->Enabled()) {
    stream_at_destination_ = false;
    Handshake(io, next->Host, next->Port, ipVersion);
    if (std::exchange(stream_at_destination_, false)) return;  // rebuilt through the whole chain
    next->Connect(io, host, port, ipVersion);
  } else {
    Handshake(io, host, port, ipVersion);
  }
}

void TIdCustomTransparentProxy::Assign(const TIdCustomTransparentProxy& source) {
  Host = source.Host;
  Password = source.Password;
  Port = source.Port;
  IPVersion = source.IPVersion;
  Username = source.Username;
}

void TIdCustomTransparentProxy::OpenDatagramRelay(int, const std::string&, uint16_t, TIdIPVersion) {
  throw EIdTransparentProxyUDPNotSupported(kMsgUDPNotSupported);
}

void TIdCustomTransparentProxy::CloseDatagramRelay(int) {
  throw EIdTransparentProxyUDPNotSupported(kMsgUDPNotSupported);
}

int TIdCustomTransparentProxy::ReceiveDatagram(int, std::vector<uint8_t>&, std::string&, uint16_t&, TIdIPVersion&,
                                               int) {
  throw EIdTransparentProxyUDPNotSupported(kMsgUDPNotSupported);
}

void TIdCustomTransparentProxy::SendDatagram(int, const std::string&, uint16_t, TIdIPVersion,
                                             const std::vector<uint8_t>&) {
  throw EIdTransparentProxyUDPNotSupported(kMsgUDPNotSupported);
}

void TIdCustomTransparentProxy::BindThrough(TIdIOHandler&, const std::string&, uint16_t, TIdIPVersion) {
  throw EIdTransparentProxyCantBind(kMsgCantBind);
}

bool TIdCustomTransparentProxy::AwaitInbound(TIdIOHandler&, int) {
  throw EIdTransparentProxyCantBind(kMsgCantBind);
}

}  // namespace sorvik
