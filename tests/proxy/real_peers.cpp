#include "real_peers.h"

#include <vector>

namespace sorvik::test {

namespace {

// danted's configuration: keywords inside braces need lines of their own. No
// user.privileged / user.unprivileged: danted then keeps the test's own user
// (it warns about uid 0 when that is root). Switching to another user would
// also clear the parent-death signal that ends it with the test program.
std::string DantedConfig(uint16_t port) {
  return "logoutput: stderr\n"
         "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
         "external: 127.0.0.1\n"
         "clientmethod: none\n"
         "socksmethod: none\n"
         "client pass {\n"
         "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
         "}\n"
         "socks pass {\n"
         "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
         "  command: connect\n"
         "}\n";
}

// tinyproxy without a ConnectPort line allows CONNECT to any port.
std::string TinyproxyConfig(uint16_t port) {
  return "Port " + std::to_string(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n";
}

}  // namespace

const char* RealProxy::Name() const {
  switch (kind_) {
    case kDanted: return "danted";
    case kSshSocks: return "ssh -D";
    case kMicrosocks: return "microsocks";
    case kMicrosocksAuth: return "microsocks -u/-P";
    case kTinyproxy: return "tinyproxy";
  }
  return "?";
}

RealProxy::RealProxy(Kind kind) : kind_(kind) {
  const char* program = kind == kDanted       ? "danted"
                        : kind == kSshSocks   ? "sshd"
                        : kind == kTinyproxy  ? "tinyproxy"
                                              : "microsocks";
  if (!ProgramAvailable(program) || (kind == kSshSocks && !ProgramAvailable("ssh"))) {
    problem_ = std::string(program) + " is not installed (scripts/setup.sh installs it)";
    return;
  }
  // A free port can be taken by someone else before the child binds it: retry.
  for (int attempt = 0; attempt < 3 && !child_; ++attempt) StartOnce();
  if (!child_ && problem_.empty()) problem_ = std::string(Name()) + " never accepted connections";
}

bool RealProxy::StartOnce() {
  port_ = FreePort();
  const std::string p = std::to_string(port_);
  std::vector<std::string> argv;
  switch (kind_) {
    case kDanted: {
      const std::string conf = dir_.WriteFile("danted-" + p + ".conf", DantedConfig(port_));
      argv = {"danted", "-f", conf, "-p", dir_.Path() + "/danted-" + p + ".pid"};
      break;
    }
    case kSshSocks:
      argv = {"sh", std::string(SORVIK_SOURCE_DIR) + "/tests/proxy/peers/ssh_socks.sh", dir_.Path() + "/ssh", p};
      break;
    case kMicrosocks:
      argv = {"microsocks", "-i", "127.0.0.1", "-p", p};
      break;
    case kMicrosocksAuth:
      argv = {"microsocks", "-i", "127.0.0.1", "-p", p, "-u", "alice", "-P", "s3cret"};
      break;
    case kTinyproxy: {
      const std::string conf = dir_.WriteFile("tinyproxy-" + p + ".conf", TinyproxyConfig(port_));
      argv = {"tinyproxy", "-d", "-c", conf};
      break;
    }
  }
  auto child = std::make_unique<ChildProcess>(argv);
  if (child->Started() && child->WaitForPort(port_, 15000)) {
    child_ = std::move(child);
    problem_.clear();
    return true;
  }
  problem_ = std::string(Name()) + " did not come up: " + (child->Started() ? child->Stderr() : "not started");
  return false;
}

}  // namespace sorvik::test
