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
  enum Kind { kDanted, kSshSocks, kMicrosocks, kMicrosocksAuth, kTinyproxy };

  explicit RealProxy(Kind kind);
  RealProxy(const RealProxy&) = delete;
  RealProxy& operator=(const RealProxy&) = delete;

  // True once the proxy accepts connections on Port().
  bool Ready() const { return child_ != nullptr; }
  // Why the proxy is not running (missing program, or it never came up).
  const std::string& Problem() const { return problem_; }
  uint16_t Port() const { return port_; }
  const char* Name() const;

 private:
  bool StartOnce();
  Kind kind_;
  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> child_;
  std::string problem_;
};

}  // namespace sorvik::test
