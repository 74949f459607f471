// The outbound TCP client of a relayed connection: destination, time limits and
// the I/O handler (plain, or TLS given by the connection set-up) with its proxies.
//
// Thread contract: belongs to one connection's worker thread; Cancel() is the one
// member another thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "net/component.h"
#include "net/io_handler.h"

namespace sorvik {

class TIdTCPClient : public TIdComponent {
 public:
  explicit TIdTCPClient(TIdComponent* owner = nullptr);
  ~TIdTCPClient() override;

  // Connection parameters: owning thread only.
  std::string Host;
  uint16_t Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  int ConnectTimeout = -1;
  int ReadTimeout = -1;

  // The handler; set by the connection set-up, or made by CreateIOHandler().
  TIdIOHandler* IOHandler() const;
  void SetIOHandler(TIdIOHandler* handler);  // a handler owned by this client
  // Makes a plain TIdIOHandlerStack owned by this client when there is none.
  TIdIOHandlerStack* CreateIOHandler();

  // Raises EIdAlreadyConnected, EIdHostRequired (empty message) for an empty host,
  // EIdPortRequired (empty message) for port 0; copies the parameters to the
  // handler and opens it (OpenOnce, or OnOpen when set); fires hsConnected.
  void Connect();
  // Set by a connection set-up that tries several destinations in turn
  // (owning thread, before Connect): Connect() calls it instead of OpenOnce().
  // It sets Host, Port and IPVersion and calls OpenOnce() as often as it
  // likes; it returns once one open worked, and raises otherwise.
  std::function<void(TIdTCPClient& client)> OnOpen;
  // One open of the handler towards Host:Port (raising as Connect does for a
  // missing host or port); the handler is closed again when it fails.
  void OpenOnce();
  // Closes the handler; `notifyPeer` false closes without an orderly shutdown.
  void Disconnect(bool notifyPeer = true);
  bool Connected() const;
  // Thread-safe: cancels the handler's waits (also a connect in progress). A
  // handler set or created afterwards starts out cancelled.
  void Cancel();
  // Cancel() by a deactivation whose stop descriptor is already readable
  // (TIdIOHandler::CancelForStop). A handler set later starts out cancelled.
  void CancelForStop();

 protected:
  void Notification(TIdComponent* dying) override;

 private:
  // io_ is written on the worker thread and read by Cancel() on another thread.
  mutable std::mutex io_lock_;
  TIdIOHandler* io_ = nullptr;  // guarded by io_lock_; owned through the component tree
  bool cancelled_ = false;      // guarded by io_lock_
};

}  // namespace sorvik
