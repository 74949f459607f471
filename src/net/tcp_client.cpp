#include "net/tcp_client.h"

#include "net/exceptions.h"

namespace sorvik {

TIdTCPClient::TIdTCPClient(TIdComponent* owner) : TIdComponent(owner) {}

TIdTCPClient::~TIdTCPClient() {
  std::lock_guard<std::mutex> lock(io_lock_);
  if (io_) {
    io_->Close();
    io_->RemoveFreeNotification(this);
    io_ = nullptr;
  }
  // Owned handlers and proxies are destroyed by the component base.
}

TIdIOHandler* TIdTCPClient::IOHandler() const {
  std::lock_guard<std::mutex> lock(io_lock_);
  return io_;
}

void TIdTCPClient::SetIOHandler(TIdIOHandler* handler) {
  TIdIOHandler* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(io_lock_);
    if (handler == io_) return;
    old = io_;
    if (old) old->RemoveFreeNotification(this);
    io_ = handler;
    if (io_) {
      io_->FreeNotification(this);
      if (cancelled_) io_->Cancel();
    }
  }
  // A handler this client made for itself goes with the replacement.
  if (old && old->Owner() == this) delete old;
}

TIdIOHandlerStack* TIdTCPClient::CreateIOHandler() {
  if (TIdIOHandler* cur = IOHandler()) return dynamic_cast<TIdIOHandlerStack*>(cur);
  auto* h = new TIdIOHandlerStack(this);
  SetIOHandler(h);
  return h;
}

void TIdTCPClient::Notification(TIdComponent* dying) {
  {
    std::lock_guard<std::mutex> lock(io_lock_);
    if (dying == io_) io_ = nullptr;
  }
  TIdComponent::Notification(dying);
}

bool TIdTCPClient::Connected() const {
  TIdIOHandler* io = IOHandler();
  return io && io->Connected();
}

void TIdTCPClient::Connect() {
  if (Connected()) throw EIdAlreadyConnected(kMsgAlreadyConnected);
  if (OnOpen) {
    OnOpen(*this);
  } else {
    OpenOnce();
  }
  DoStatus(hsConnected);
}

void TIdTCPClient::OpenOnce() {
  if (Host.empty()) throw EIdHostRequired("");
  if (Port == 0) throw EIdPortRequired("");
  TIdIOHandler* io = IOHandler();
  if (!io) io = CreateIOHandler();
  io->Host = Host;
  io->Port = Port;
  io->ConnectTimeout = ConnectTimeout;
  io->ReadTimeout = ReadTimeout;
  io->IPVersion = IPVersion;
  try {
    io->Open();
  } catch (...) {
    // Closed, but kept until the client goes: the connection report may be
    // reading its binding under the context lock right now.
    io->Close();
    throw;
  }
}

void TIdTCPClient::Disconnect(bool notifyPeer) {
  TIdIOHandler* io = IOHandler();
  if (!io) return;
  (void)notifyPeer;  // closing either way; no status is reported
  io->Close();
}

void TIdTCPClient::Cancel() {
  std::lock_guard<std::mutex> lock(io_lock_);
  cancelled_ = true;
  if (io_) io_->Cancel();
}

void TIdTCPClient::CancelForStop() {
  std::lock_guard<std::mutex> lock(io_lock_);
  cancelled_ = true;
  if (io_) io_->CancelForStop();
}

}  // namespace sorvik
