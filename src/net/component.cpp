#include "net/component.h"

#include <algorithm>

namespace sorvik {

namespace {
void Erase(std::vector<TIdComponent*>& v, TIdComponent* c) {
  v.erase(std::remove(v.begin(), v.end(), c), v.end());
}
}  // namespace

std::string StatusText(TIdStatus status, const std::string& arg) {
  switch (status) {
    case hsResolving: return "Resolving hostname " + arg + ".";
    case hsConnecting: return "Connecting to " + arg + ".";
    case hsConnected: return "Connected.";
    case hsDisconnecting: return "Disconnecting.";
    case hsDisconnected: return "Disconnected.";
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted: return arg;
  }
  return arg;
}

TIdComponent::TIdComponent(TIdComponent* owner) : owner_(owner) {
  if (owner_) owner_->owned_.push_back(this);
}

TIdComponent::~TIdComponent() {
  // Owned components first, last to first; each removes itself from owned_.
  while (!owned_.empty()) delete owned_.back();
  if (owner_) Erase(owner_->owned_, this);
  for (TIdComponent* o : observers_) {
    Erase(o->observing_, this);
    o->Notification(this);
  }
  for (TIdComponent* c : observing_) Erase(c->observers_, this);
}

void TIdComponent::FreeNotification(TIdComponent* observer) {
  if (!observer || observer == this) return;
  if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) return;
  observers_.push_back(observer);
  observer->observing_.push_back(this);
}

void TIdComponent::RemoveFreeNotification(TIdComponent* observer) {
  if (!observer) return;
  Erase(observers_, observer);
  Erase(observer->observing_, this);
}

void TIdComponent::DoStatus(TIdStatus status, const std::string& arg) {
  if (OnStatus) OnStatus(*this, status, StatusText(status, arg));
}

void TIdComponent::Notification(TIdComponent*) {}

}  // namespace sorvik
