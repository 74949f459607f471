#include "real_peers.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace sorvik::test {

namespace {

// danted's configuration: keywords inside braces need lines of their own. No
// user.privileged / user.unprivileged: danted then keeps the test's own user
// (it warns about uid 0 when that is root). Switching to another user would
// also clear the parent-death signal that ends it with the test program.
// With `username`, SOCKS 5 clients must log in with a system account's name
// and password (danted reads the shadow file, so the test runs as root).
std::string DantedConfig(uint16_t port, bool username = false) {
  return "logoutput: stderr\n"
         "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
         "external: 127.0.0.1\n"
         "clientmethod: none\n"
         "socksmethod: " + (username ? "username" : "none") + "\n"
         "client pass {\n"
         "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
         "}\n"
         "socks pass {\n"
         "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
         "  command: connect\n"
         "}\n";
}

// tinyproxy without a ConnectPort line allows CONNECT to any port.
std::string TinyproxyConfig(uint16_t port, bool basicAuth = false) {
  return "Port " + std::to_string(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n" +
         (basicAuth ? std::string("BasicAuth ") + RealProxy::kUser + " " + RealProxy::kPassword + "\n" : "");
}

}  // namespace

const char* RealProxy::Name() const {
  switch (kind_) {
    case kDanted: return "danted";
    case kSshSocks: return "ssh -D";
    case kMicrosocks: return "microsocks";
    case kMicrosocksAuth: return "microsocks -u/-P";
    case kTinyproxy: return "tinyproxy";
    case kTinyproxyAuth: return "tinyproxy BasicAuth";
    case kDantedAuth: return "danted username";
  }
  return "?";
}

RealProxy::RealProxy(Kind kind) : kind_(kind) {
  const char* program = kind == kDanted || kind == kDantedAuth         ? "danted"
                        : kind == kSshSocks                            ? "sshd"
                        : kind == kTinyproxy || kind == kTinyproxyAuth ? "tinyproxy"
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
    case kDanted:
    case kDantedAuth: {
      const std::string conf = dir_.WriteFile("danted-" + p + ".conf", DantedConfig(port_, kind_ == kDantedAuth));
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
      argv = {"microsocks", "-i", "127.0.0.1", "-p", p, "-u", kUser, "-P", kPassword};
      break;
    case kTinyproxy:
    case kTinyproxyAuth: {
      const std::string conf = dir_.WriteFile("tinyproxy-" + p + ".conf", TinyproxyConfig(port_, kind_ == kTinyproxyAuth));
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

SystemAccount::SystemAccount() {
  if (::geteuid() != 0) {
    problem_ = "making a system account needs root";
    return;
  }
  if (!ProgramAvailable("useradd") || !ProgramAvailable("chpasswd")) {
    problem_ = "useradd or chpasswd is missing";
    return;
  }
  const std::string name = "sorvikpx" + std::to_string(::getpid());
  const std::string make = "useradd --system --no-create-home --shell /usr/sbin/nologin " + name +
                           " >/dev/null 2>&1 && echo '" + name + ":" + RealProxy::kPassword + "' | chpasswd";
  if (std::system(make.c_str()) != 0) {
    [[maybe_unused]] int r = std::system(("userdel " + name + " >/dev/null 2>&1").c_str());
    problem_ = "useradd/chpasswd failed";
    return;
  }
  name_ = name;
}

SystemAccount::~SystemAccount() {
  if (!name_.empty()) {
    [[maybe_unused]] int r = std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
  }
}

}  // namespace sorvik::test
