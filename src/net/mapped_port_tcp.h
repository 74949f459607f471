// The port-mapping server: listens on its bindings, serves every accepted
// connection on a worker thread of its own, connects it to MappedHost:MappedPort
// and relays bytes both ways until either side closes or fails.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/component.h"
#include "net/io_handler.h"
#include "net/tcp_client.h"

namespace sorvik {

class TIdMappedPortTCP;

// One accepted connection. Owned by its worker thread; listed in the server's
// context list from the start of the worker until both sides are closed.
class TIdMappedPortContext {
 public:
  // The local side (accepted socket). Never null.
  TIdIOHandlerStack& Connection() { return *local_; }
  // The outbound client; null until the worker has created it.
  TIdTCPClient* OutboundClient() { return outbound_.get(); }
  TIdMappedPortTCP& Server() { return server_; }

  TIdMappedPortContext(TIdMappedPortTCP& server, int acceptedFd);
  ~TIdMappedPortContext();

 private:
  friend class TIdMappedPortTCP;
  TIdMappedPortTCP& server_;
  std::unique_ptr<TIdIOHandlerStack> local_;
  std::unique_ptr<TIdTCPClient> outbound_;
};

using TIdContextEvent = std::function<void(TIdMappedPortContext& context)>;
using TIdContextExceptionEvent = std::function<void(TIdMappedPortContext& context, const std::exception& error)>;

struct TIdListenBinding {
  std::string IP;   // empty: all IPv4 addresses
  uint16_t Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
};

// Thread contract: the owner's thread (the UI thread) configures, activates,
// deactivates and reads the context list; hooks run on worker threads. The
// setters of the hooks are safe while workers run (a worker copies a hook under
// the hooks lock before calling it).
class TIdMappedPortTCP {
 public:
  TIdMappedPortTCP();
  ~TIdMappedPortTCP();  // deactivates

  std::vector<TIdListenBinding> Bindings;
  uint16_t DefaultPort = 0;
  std::string MappedHost;
  uint16_t MappedPort = 0;
  int ListenQueue = 15;
  int MaxConnections = 0;

  bool Active() const;
  // true: binds and listens, raising EIdCouldNotBindSocket on a bind failure.
  // false: closes the listeners, cancels every connection, waits for the workers
  // (bounded: every wait of a worker is cancellable).
  void SetActive(bool value);

  void SetOnConnect(TIdContextEvent hook);
  void SetOnOutboundConnect(TIdContextEvent hook);
  void SetOnExecute(TIdContextEvent hook);
  void SetOnOutboundData(TIdContextEvent hook);
  void SetOnException(TIdContextExceptionEvent hook);

  // The context list under its lock.
  class LockedContexts {
   public:
    explicit LockedContexts(TIdMappedPortTCP& s);
    const std::vector<TIdMappedPortContext*>& List() const;
   private:
    std::unique_lock<std::mutex> lock_;
    TIdMappedPortTCP& server_;
  };
  LockedContexts LockList() { return LockedContexts(*this); }
  int ConnectionCount();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class LockedContexts;
};

}  // namespace sorvik
