// Common base of the network objects: ownership, destruction notices, the
// integer Tag (the hop number in this program) and the OnStatus notification.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sorvik {

enum TIdStatus : int {
  hsResolving = 0,
  hsConnecting = 1,
  hsConnected = 2,
  hsDisconnecting = 3,
  hsDisconnected = 4,
  hsStatusText = 5,
  ftpTransfer = 6,
  ftpReady = 7,
  ftpAborted = 8,
};

enum TIdIPVersion { Id_IPv4 = 0, Id_IPv6 = 1 };

// The base text of a status, with `arg` in place of its placeholder:
// hsResolving -> "Resolving hostname <arg>.", hsConnecting -> "Connecting to <arg>.",
// hsConnected -> "Connected.", ..., hsStatusText -> "<arg>".
std::string StatusText(TIdStatus status, const std::string& arg);

class TIdComponent;
// OnStatus(sender, status, finished text).
using TIdStatusEvent = std::function<void(TIdComponent& sender, TIdStatus status, const std::string& text)>;

// Thread contract: a component and everything it owns belong to one thread at a
// time (a connection's worker); nothing here is locked.
class TIdComponent {
 public:
  // A component created with an owner is destroyed by that owner's destructor
  // unless it is deleted first (it then leaves the owner's list).
  explicit TIdComponent(TIdComponent* owner = nullptr);
  virtual ~TIdComponent();
  TIdComponent(const TIdComponent&) = delete;
  TIdComponent& operator=(const TIdComponent&) = delete;

  TIdComponent* Owner() const { return owner_; }

  // Asks `this` to call observer->Notification(this) when it is destroyed.
  void FreeNotification(TIdComponent* observer);
  void RemoveFreeNotification(TIdComponent* observer);

  // Fires OnStatus with StatusText(status, arg) when a handler is assigned.
  void DoStatus(TIdStatus status, const std::string& arg = {});

  int Tag = 0;
  TIdStatusEvent OnStatus;

 protected:
  // Called when a component that `this` registered with FreeNotification dies.
  virtual void Notification(TIdComponent* dying);

 private:
  TIdComponent* owner_ = nullptr;
  std::vector<TIdComponent*> owned_;      // destroyed last to first with this
  std::vector<TIdComponent*> observers_;  // told when this dies
  std::vector<TIdComponent*> observing_;  // whose observer lists hold this
};

}  // namespace sorvik
