// Real proxy servers started as child processes on loopback for the end-to-end
// tests: danted (SOCKS 4 and 5), ssh -D (SOCKS 4A, 4 and 5), microsocks
// (SOCKS 5, optionally demanding a password) and tinyproxy (HTTP CONNECT). Each
// writes its configuration into its own temporary directory, listens on a free
// port below 32768, and is stopped (SIGTERM, then SIGKILL) when destroyed.
//
// Thread contract: test thread only.
#pragma once

#include <memory>
#include <string>

#include "support/net_fixtures.h"

namespace sorvik::test {

class RealProxy {
 public:
  enum Kind { kDanted, kSshSocks, kMicrosocks, kMicrosocksAuth, kTinyproxy, kTinyproxyAuth, kDantedAuth };

  // The credentials of the *Auth kinds: microsocks and tinyproxy take
  // kUser/kPassword; danted checks system accounts, so a test of kDantedAuth
  // makes an account of its own with kPassword (see SystemAccount).
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "s3cret";

  explicit RealProxy(Kind kind);
  RealProxy(const RealProxy&) = delete;
  RealProxy& operator=(const RealProxy&) = delete;

  // True once the proxy accepts connections on Port().
  bool Ready() const { return child_ != nullptr; }
  // Why the proxy is not running (missing program, or it never came up).
  const std::string& Problem() const { return problem_; }
  uint16_t Port() const { return port_; }
  // The proxy's process id (to stop and continue it); -1 when it does not run.
  pid_t Pid() const { return child_ ? child_->Pid() : -1; }
  const char* Name() const;

 private:
  bool StartOnce();
  Kind kind_;
  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> child_;
  std::string problem_;
};

// A throw-away system account with RealProxy::kPassword, for danted's
// username method; removed on destruction. Needs root (useradd, chpasswd):
// Name() is empty and Problem() says why when it could not be made. The name
// carries the process id, so parallel test programs do not collide.
class SystemAccount {
 public:
  SystemAccount();
  ~SystemAccount();
  SystemAccount(const SystemAccount&) = delete;
  SystemAccount& operator=(const SystemAccount&) = delete;
  const std::string& Name() const { return name_; }
  const std::string& Problem() const { return problem_; }

 private:
  std::string name_;
  std::string problem_;
};

}  // namespace sorvik::test
