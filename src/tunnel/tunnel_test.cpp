// The tunnel test (see tunnel_test.h). The steps are told apart by the status
// reports the set-up makes anyway (the same reports a connection turns into log
// lines), plus the TLS handler's hook right before its handshake.
#include "tunnel/tunnel_test.h"

#include <chrono>
#include <iterator>
#include <memory>
#include <exception>
#include <thread>
#include <vector>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/host_name.h"
#include "net/tcp_client.h"
#include "tls/certificate_check.h"
#include "tls/ssl_io_handler.h"
#include "tunnel/connection_report.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/events.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/remotes.h"

namespace sorvik {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPrefix = "Tunnel test: ";

int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The protocol of hop 1 or 2 for a proxy type; empty when there is no such hop.
std::string HopKind(TProxyType proxyType, int hop) {
  // Indexed by the number of a named proxy type.
  static const char* const kFirst[] = {"", "SOCKS 4", "SOCKS 4A", "SOCKS 5", "HTTP", "SOCKS 4A", "SOCKS 4A", "HTTP"};
  static const char* const kSecond[] = {"", "", "", "", "", "SOCKS 4", "HTTP", "HTTP"};
  static_assert(std::size(kFirst) == kProxyTypeCount && std::size(kSecond) == kProxyTypeCount);
  if (IsOtherProxyType(proxyType)) return {};
  const uint8_t n = ProxyTypeNumber(proxyType);
  return hop == 1 ? kFirst[n] : hop == 2 ? kSecond[n] : "";
}

// The status text of a "%s > %d - %s" or "%s >SSL %d - %s" line, and its hop.
bool SplitStatusLine(const std::string& line, int& hop, std::string& text) {
  const size_t dash = line.find(" - ");
  if (dash == std::string::npos) return false;
  size_t p = dash;
  while (p > 0 && line[p - 1] >= '0' && line[p - 1] <= '9') --p;
  hop = p < dash ? std::stoi(line.substr(p, dash - p)) : 0;
  text = line.substr(dash + 3);
  return true;
}

// The steps as they follow each other: a new step ends the one before.
class TStepClock {
 public:
  explicit TStepClock(const TTunnelTest::TLineSink& sink) : sink_(sink), started_(Clock::now()) {}

  void Begin(std::string name) {
    const auto now = Clock::now();
    if (!name_.empty()) sink_(kPrefix + name_ + ": " + std::to_string(MsBetween(step_started_, now)) + " ms");
    name_ = std::move(name);
    step_started_ = now;
  }
  const std::string& Current() const { return name_; }

  // `verified` false: a TLS server that no check judged, said in the verdict.
  void Succeed(bool verified) {
    Begin({});
    const std::string ms = std::to_string(MsBetween(started_, Clock::now()));
    sink_(kPrefix + (verified ? "OK in " + ms + " ms" : "OK, but the server was not verified (" + ms + " ms)"));
  }

  void Fail(const std::string& error) {
    const auto now = Clock::now();
    const std::string step = name_.empty() ? "Set-up" : name_;
    sink_(kPrefix + step + " failed after " + std::to_string(MsBetween(name_.empty() ? started_ : step_started_, now)) +
          " ms: " + error);
    sink_(kPrefix + std::string("FAILED at ") + step + ": " + error);
  }

 private:
  const TTunnelTest::TLineSink& sink_;
  const Clock::time_point started_;
  Clock::time_point step_started_;
  std::string name_;
};

}  // namespace

void CopyTunnelSettings(const TKestruneItem& from, TKestruneItem& to) { to.Settings = from.Snapshot(); }

TTunnelTest::TTunnelTest(const TKestruneItem& tunnel) : copy_(std::make_unique<TKestruneItem>()) {
  CopyTunnelSettings(tunnel, *copy_);
  // A port outside 1..65535 is shown as stored, not cut to 16 bits.
  // A stored port that is no number is shown as stored (the test refuses it).
  const TunnelSettings& s = copy_->Settings;
  std::string endpoint = EndpointText(s.Server, s.Port);
  if (s.PortText) endpoint = endpoint.substr(0, endpoint.rfind(':') + 1) + *s.PortText;
  title_ = "Tunnel test of \"" + ShownCaption(s) + "\": " + endpoint;
}

TTunnelTest::~TTunnelTest() = default;

void TTunnelTest::Cancel() { Stop(false); }

void TTunnelTest::Stop(bool byLimit) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (done_ || cancelled_) return;
  cancelled_ = true;
  by_limit_ = byLimit;
  if (client_) client_->Cancel();
  if (remote_test_) remote_test_->Cancel();
}

// Every remote in turn, each as a tunnel of that one remote, with its own
// title and verdict, then how many work. Passes when every remote does.
bool TTunnelTest::RunEach(const TLineSink& sink) {
  const std::vector<TRemote> remotes = TunnelRemotes(copy_->Settings);
  // A local port that is taken keeps the tunnel from starting whatever its
  // remotes do: the first test says so, and no remote is counted as failed.
  const bool portTaken =
      CheckLocalPort && LocalPortTakenProblem(copy_->Settings.LocalAccess, copy_->Settings.Mapped).has_value();
  size_t working = 0;
  for (size_t i = 0; i < remotes.size(); ++i) {
    TKestruneItem one;
    one.Settings = copy_->Settings;
    one.Settings.Server = remotes[i].Host;
    one.Settings.Port = remotes[i].Port;
    one.Settings.PortText.reset();
    one.Settings.MoreServers.clear();
    auto test = std::make_unique<TTunnelTest>(one);
    test->LimitMs = LimitMs;
    test->CheckLocalPort = CheckLocalPort && i == 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cancelled_) test->Cancel();
      remote_test_ = test.get();
    }
    const bool ok = test->Run(sink);
    if (ok) ++working;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remote_test_ = nullptr;
      if (!ok && i == 0 && portTaken) {
        done_ = true;
        return false;
      }
    }
  }
  sink(std::string(kPrefix) + std::to_string(working) + " of " + std::to_string(remotes.size()) +
       " remotes work" + (working == remotes.size() ? "" : ": FAILED"));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  return working == remotes.size();
}

bool TTunnelTest::Run(const TLineSink& sink) {
  const TunnelSettings& all = copy_->Settings;
  if (!ParseMoreServers(all.MoreServers).Remotes.empty() && !TunnelStartProblem(all)) return RunEach(sink);
  sink(title_);
  TStepClock steps(sink);
  // What a start refuses fails the test the same way, before any connect.
  {
    const TunnelSettings& c = copy_->Settings;
    if (auto problem = TunnelStartProblem(c)) {
      steps.Fail(OneLineText(problem->Text));
      return false;
    }
    if (CheckLocalPort) {
      const std::string address = ListenAddress(c.LocalAccess);
      steps.Begin("Local port " + EndpointText(address.empty() ? "0.0.0.0" : address, c.Mapped));
      if (auto problem = LocalPortTakenProblem(c.LocalAccess, c.Mapped)) {
        steps.Fail(OneLineText(problem->Text));
        return false;
      }
      steps.Begin({});
    }
  }
  // Passwords kept in files, read as a start of the tunnel reads them.
  try {
    copy_->LoadPasswordFiles();
  } catch (const std::exception& e) {
    steps.Fail(OneLineText(e.what()));
    return false;
  }
  const TunnelSettings f = copy_->Snapshot();
  const auto type = f.ProxyType;
  const bool proxied = UsesProxy(type);
  const auto firstHopPort = static_cast<uint16_t>((proxied ? f.ProxyPort : copy_->Settings.Port) & 0xFFFF);

  // The private copy reports every line of the set-up to this test, on this
  // thread, while Connect() runs.
  // A pin-check line that refuses the certificate ("... DIFFERENT, WARNING
  // MITM", "Certificate check FAILED: ..."): the check is the step that
  // failed, whatever the handshake does next.
  std::string pinRefusal;
  // A refusal the TLS handler said in plain words (an old protocol version).
  std::string tlsRefusal;
  // What a connection logs about its session once the handshake is done: the
  // verdict on the certificate, the protocol version, the legacy warning.
  std::vector<std::string> sessionLines;
  copy_->OnTunnelEvent = [&](int32_t, int32_t code, const std::string& line) {
    int hop = 0;
    std::string text;
    if (code == kEventPinCheck) {
      if (steps.Current() != "Certificate check") steps.Begin("Certificate check");
      if (!pinRefusal.empty()) {
        pinRefusal += ". " + line;  // what the refusal line adds (the server's value)
      } else if (line.find("DIFFERENT") != std::string::npos || line.rfind("Certificate check FAILED: ", 0) == 0) {
        pinRefusal = line;
      }
      return;
    }
    if (code == kEventTlsInfo) {
      if (steps.Current() == "Certificate check" && pinRefusal.empty()) steps.Begin("TLS handshake end");
      if (line.rfind("Server certificate ", 0) == 0 || line.rfind("Protocol version: ", 0) == 0 ||
          line.rfind("WARNING: ", 0) == 0) {
        sessionLines.push_back(line);
      }
      return;
    }
    if (code == kEventTlsOrError) {
      const size_t at = line.find(" ERR > ");
      if (at != std::string::npos) {
        tlsRefusal = line.substr(at + 7);
        return;
      }
    }
    if (!SplitStatusLine(line, hop, text)) return;
    const std::string resolving = "Resolving hostname ";
    const std::string connecting = "Connecting to ";
    if ((code == kEventPlainStatus || code == kEventTlsOrError) && text.rfind(resolving, 0) == 0) {
      std::string name = text.substr(resolving.size());
      if (!name.empty() && name.back() == '.') name.pop_back();
      steps.Begin("Lookup of " + name);
    } else if ((code == kEventPlainStatus || code == kEventTlsOrError) && text.rfind(connecting, 0) == 0) {
      std::string address = text.substr(connecting.size());
      if (!address.empty() && address.back() == '.') address.pop_back();
      steps.Begin("Connect to " + EndpointText(address, firstHopPort));
    } else if ((code == kEventSocksStatus || code == kEventHttpStatus) && text.rfind(connecting, 0) == 0) {
      const std::string hopHost = hop == 2 ? f.ProxyHost2 : f.ProxyHost;
      const auto hopPort = static_cast<uint16_t>((hop == 2 ? f.ProxyPort2 : f.ProxyPort) & 0xFFFF);
      steps.Begin("Proxy " + std::to_string(hop) + " (" + HopKind(type, hop) + " at " +
                  EndpointText(hopHost, hopPort) + ") to " + text.substr(connecting.size()));
    }
  };
  copy_->OpenEvents();

  auto client = std::make_unique<TIdTCPClient>();
  client->Host = AsciiHostOrSame(copy_->Settings.Server);
  client->Port = static_cast<uint16_t>(copy_->Settings.Port & 0xFFFF);
  client->IPVersion = ParseIPv6Literal(copy_->Settings.Server) ? Id_IPv6 : Id_IPv4;
  client->ConnectTimeout = -1;

  bool ok = false;
  std::string error;
  // The time limit: a watcher that cancels the client when it passes.
  std::thread watcher;
  try {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      client_ = client.get();
      if (cancelled_) client_->Cancel();
    }
    watcher = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!done_cv_.wait_for(lock, std::chrono::milliseconds(LimitMs), [this] { return done_; })) {
        lock.unlock();
        Stop(true);
      }
    });
    copy_->PrepareClient(*client, f);
    auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(client->IOHandler());
    if (tls) {
      tls->OnBeforeConnect = [&steps](TIdSSLIOHandlerSocketOpenSSL&) { steps.Begin("TLS handshake"); };
    }
    client->Connect();
    if (tls) {
      // A server that refuses the session after the handshake (a TLS 1.3
      // server that wants a client certificate sends its alert then) fails
      // every connection of the tunnel: the test listens for it briefly.
      steps.Begin("Session start");
      for (const std::string& line : sessionLines) sink(kPrefix + line);
      tls->AwaitRefusal(kSessionStartWaitMs);
    }
    ok = true;
  } catch (const EIdHostRequired&) {
    error = "No remote host.";
  } catch (const EIdPortRequired&) {
    error = "The remote port is 0.";
  } catch (const std::exception& e) {
    error = OneLineText(e.what());
  } catch (...) {
    error = "Unknown error.";
  }
  bool byLimit = false;
  bool cancelled = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    client_ = nullptr;
    cancelled = cancelled_;
    byLimit = by_limit_;
  }
  done_cv_.notify_all();
  if (watcher.joinable()) watcher.join();
  try {
    client->Disconnect(false);
  } catch (...) {
  }
  copy_->DetachEvents();
  if (ok) {
    steps.Succeed(!f.SSLHost || VerifiesServer(CertificatePolicyOf(f)));
    return true;
  }
  if (cancelled) error = byLimit ? "No answer within " + std::to_string(LimitMs) + " ms." : "Cancelled.";
  if (!tlsRefusal.empty() && !cancelled) error = tlsRefusal + " " + error;
  if (!pinRefusal.empty() && !cancelled) error = pinRefusal + ". " + error;
  steps.Fail(error);
  return false;
}

}  // namespace sorvik
