// Proxy passwords in the desktop's secret store (the Secret Service of GNOME
// Keyring, KWallet and the like) through QtKeychain. An entry per tunnel and
// hop: service "Sorvik", key "<tunnel caption>/proxy<hop>" (hop 1 or 2). The
// settings file holds the user names only.
//
// Thread contract: UI thread only. Each call waits for the store in a local
// event loop (so the window keeps painting and tunnel events keep arriving);
// the store answers or fails within its own D-Bus time-out.
#pragma once

#include <string>

namespace sorvik {

class TKestruneItem;

class TSecretStore {
 public:
  static constexpr const char* kService = "Sorvik";
  enum class TResult { Ok, NotFound, Failed };

  // "<caption>/proxy<hop>".
  static std::string Key(const std::string& caption, int hop);

  TResult Read(const std::string& caption, int hop, std::string& password, std::string& error);
  TResult Write(const std::string& caption, int hop, const std::string& password, std::string& error);
  // Removing an entry that is not there counts as Ok.
  TResult Remove(const std::string& caption, int hop, std::string& error);

  // Fills the tunnel's run-time passwords from the store, for each hop that
  // has a user name and no password file. Returns a log line per failure
  // other than a missing entry (empty when all went well).
  std::string LoadPasswords(TKestruneItem& tunnel);
};

}  // namespace sorvik
