// Tunnel runtime: start, stop, close-all, running test and connection count.
// All of it runs on the thread that owns the tunnel (the UI thread; the tunnel
// test's thread for its private copy); PrepareOutbound (prepare_outbound.cpp)
// and the event handlers (events.cpp) run on connection workers.
#include "tunnel/kestrune_item.h"

#include <algorithm>
#include <new>

#include "net/client_access.h"
#include "net/exceptions.h"
#include "net/host_name.h"
#include "net/mapped_port_tcp.h"
#include "tls/ssl_io_handler.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/event_gate.h"
#include "tunnel/events.h"
#include "tunnel/idle_watch.h"
#include "tunnel/remotes.h"

namespace sorvik {

TKestruneItem::TKestruneItem() : gate_(std::make_shared<EventGate>()) {}

TKestruneItem::~TKestruneItem() {
  // Events off before the release waits for the workers, so no worker is left
  // waiting for a receiver that waits for this thread.
  gate_->Close();
  idle_watch_.reset();  // its thread ends before any server goes
  try {
    MappingServer.reset();
  } catch (...) {
  }
  try {
    draining_.clear();
  } catch (...) {
  }
}

void TKestruneItem::ForgetServer(TIdMappedPortTCP* server) {
  if (idle_watch_ && server) idle_watch_->Forget(*server);
}

TunnelSettings TKestruneItem::Snapshot() const {
  std::lock_guard<std::mutex> lock(FieldsLock);
  return Settings;
}

bool TKestruneItem::Start() {
  // A new run counts its traffic from zero; servers still draining from the
  // last run are left alone (they end on their own or at the next stop).
  released_in_ = released_out_ = released_refused_ = 0;
  return StartServer();
}

bool TKestruneItem::Restart(const TunnelSettings& next) {
  if (auto problem = TunnelStartProblem(next)) throw ETunnelEndpointError(problem->Text);
  if (!IsRunning()) {
    Edit([&next](TunnelSettings& s) { s = next; });
    return Start();
  }
  Park();
  return Resume(next);
}

void TKestruneItem::Park() {
  if (!IsRunning()) return;
  // A connection the old server accepts in the meantime is set up on the
  // settings and TLS context of the old run, like its others.
  std::shared_ptr<TIdSSLContextCache> contexts;
  std::shared_ptr<TFailoverState> failover;
  TunnelSettings old = SnapshotWithContexts(contexts, &failover);
  MappingServer->SetOnConnect([this, old = std::move(old), contexts, failover](TIdMappedPortContext& context) {
    TIdTCPClient* outbound = context.OutboundClient();
    if (outbound == nullptr) throw EIdException("No outbound client.");
    PrepareConnection(context, *outbound, old, contexts, failover);
  });
  MappingServer->StopListening();
  draining_.push_back(std::move(MappingServer));
}

bool TKestruneItem::Resume(const TunnelSettings& next) {
  if (auto problem = EndpointProblem(next.Server, next.Port, next.Mapped)) throw ETunnelEndpointError(problem->Text);
  Edit([&next](TunnelSettings& s) { s = next; });
  return StartServer();
}

namespace {

// The rules of a server for these settings; they passed AccessSettingsProblem.
std::shared_ptr<const TClientAccess> ClientAccessOf(const TunnelSettings& s) {
  auto rules = std::make_shared<TClientAccess>();
  if (auto list = TAllowList::Parse(s.AllowFrom)) rules->AllowFrom = std::move(*list);
  rules->MaxConnections = std::max(0, s.MaxConnections);
  rules->MaxConnectionRate = std::max(0, s.MaxConnectionRate);
  return rules;
}

}  // namespace

bool TKestruneItem::OnlyAccessDiffers(const TunnelSettings& a, const TunnelSettings& b) {
  TunnelSettings same = b;
  same.AllowFrom = a.AllowFrom;
  same.MaxConnections = a.MaxConnections;
  same.MaxConnectionRate = a.MaxConnectionRate;
  return same == a && !(a == b);
}

void TKestruneItem::ApplyAccess(const TunnelSettings& next) {
  if (std::string problem = AccessSettingsProblem(next); !problem.empty()) throw ETunnelEndpointError(problem);
  Edit([&next](TunnelSettings& s) {
    s.AllowFrom = next.AllowFrom;
    s.MaxConnections = next.MaxConnections;
    s.MaxConnectionRate = next.MaxConnectionRate;
  });
  // Only the listening server takes them: a server still draining after a
  // restart accepts nothing more.
  if (MappingServer) MappingServer->Access.SetRules(ClientAccessOf(next));
}

int TKestruneItem::ReapDrained() {
  for (auto it = draining_.begin(); it != draining_.end();) {
    bool drained = true;
    try {
      drained = (*it)->Drained();
    } catch (...) {
    }
    if (!drained) {
      ++it;
      continue;
    }
    try {
      (*it)->SetActive(false);  // nothing left to cancel: ends its waiting thread
      FoldTraffic(**it);
    } catch (...) {
    }
    ForgetServer(it->get());
    it = draining_.erase(it);
  }
  return static_cast<int>(draining_.size());
}

namespace {

// One server's part: its open connections, and the bytes of every connection
// it has served since its activation (read under its context lock, so none is
// missed or counted twice).
TKestruneItem::TTraffic ServerTraffic(TIdMappedPortTCP& server) {
  TKestruneItem::TTraffic traffic;
  auto locked = server.LockList();
  traffic.BytesIn = locked.EndedBytesToRemote();
  traffic.BytesOut = locked.EndedBytesToLocal();
  traffic.Refused = server.Access.RefusedCount();
  for (TIdMappedPortContext* context : locked.List()) {
    ++traffic.Connections;
    traffic.BytesIn += context->BytesToRemote();
    traffic.BytesOut += context->BytesToLocal();
  }
  return traffic;
}

}  // namespace

void TKestruneItem::FoldTraffic(TIdMappedPortTCP& server) {
  const TTraffic part = ServerTraffic(server);
  released_in_ += part.BytesIn;
  released_out_ += part.BytesOut;
  released_refused_ += part.Refused;
}

TKestruneItem::TTraffic TKestruneItem::Traffic() const {
  TTraffic traffic;
  traffic.BytesIn = released_in_;
  traffic.BytesOut = released_out_;
  traffic.Refused = released_refused_;
  auto add = [&traffic](TIdMappedPortTCP& server) {
    const TTraffic part = ServerTraffic(server);
    traffic.Connections += part.Connections;
    traffic.BytesIn += part.BytesIn;
    traffic.BytesOut += part.BytesOut;
    traffic.Refused += part.Refused;
  };
  try {
    if (MappingServer) add(*MappingServer);
    for (const auto& server : draining_) add(*server);
  } catch (...) {
  }
  return traffic;
}

bool TKestruneItem::StartServer() {
  // An endpoint that cannot work (no remote host, a port outside 1..65535,
  // whose low 16 bits could even be 0: a random port on every address; a
  // stored port that is no number) or TLS settings that refuse every server
  // are refused before anything changes.
  if (auto problem = TunnelStartProblem(Settings)) throw ETunnelEndpointError(problem->Text);
  // An earlier server (running or left inactive by a failed start) goes first,
  // so that the new one can bind the port; releasing a running one drops its
  // connections.
  if (MappingServer) {
    gate_->Close();
    ForgetServer(MappingServer.get());
    MappingServer.reset();
  }
  // Passwords kept in files are read now, so a changed file counts from this
  // start on; a file that may not be used fails the start.
  LoadPasswordFiles();
  // A new server with its hooks, and events on. Its TLS connections share one
  // client context, built at the first of them, so that a connection does not
  // load the certificates and keys again.
  std::unique_ptr<TIdMappedPortTCP> server(new (std::nothrow) TIdMappedPortTCP());
  if (!server) return false;
  {
    auto contexts = std::make_shared<TIdSSLContextCache>();
    // The remotes start untried; TunnelStartProblem has read Failover.
    auto failover = std::make_shared<TFailoverState>(TunnelRemotes(Settings),
                                                     ParseFailover(Settings.Failover).value_or(TFailoverOrder::Priority));
    std::lock_guard<std::mutex> lock(FieldsLock);
    tls_contexts_ = std::move(contexts);
    failover_ = std::move(failover);
  }
  server->SetOnConnect([this](TIdMappedPortContext& context) { PrepareOutbound(context); });
  server->SetOnException(
      [this](TIdMappedPortContext& context, const std::exception& error) { ErrorHandler(context, error); });
  server->SetOnDisconnect([this](TIdMappedPortContext& context) { DisconnectHandler(context); });
  // A connection that moves no byte for IdleTimeout seconds is closed, saying why.
  if (Settings.IdleTimeout > 0) {
    if (!idle_watch_) {
      idle_watch_ = std::make_unique<TIdleWatch>([this](const std::string& client, int seconds) {
        ReportEvent(kEventPlainStatus,
                    FormatStatusLine(kEventPlainStatus, EventTimeStamp(), 0,
                                     "Connection from " + client + " closed: no data either way for " +
                                         std::to_string(seconds) + " s (IdleTimeout)"));
      });
    }
    idle_watch_->Watch(*server, Settings.IdleTimeout);
  }
  MappingServer = std::move(server);
  gate_->Open();
  // One listening binding: loopback only, or all IPv4 addresses. The UI
  // thread is the only writer of these fields, so it reads them unlocked.
  if (!MappingServer->Active()) {
    MappingServer->Bindings.clear();
    TIdListenBinding binding;
    binding.IP = ListenAddress(Settings.LocalAccess);
    binding.Port = static_cast<uint16_t>(Settings.Mapped);
    binding.IPVersion = Id_IPv4;
    MappingServer->Bindings.push_back(binding);
    MappingServer->DefaultPort = static_cast<uint16_t>(Settings.Mapped);
    MappingServer->MappedPort = static_cast<uint16_t>(Settings.Port);
    // The name in ASCII (A-labels), for the lookup and every proxy.
    MappingServer->MappedHost = AsciiHostOrSame(Settings.Server);
    MappingServer->Access.SetRules(ClientAccessOf(Settings));
  }
  // A failed activation is raised with the engine's message; the inactive
  // server stays, so the next start releases it like any earlier server.
  MappingServer->SetActive(true);
  return true;
}

void TKestruneItem::OpenEvents() { gate_->Open(); }

void TKestruneItem::DetachEvents() {
  auto detach = [](TIdMappedPortTCP& server) {
    try {
      server.SetOnException({});
      server.SetOnExecute({});
      server.SetOnOutboundData({});
      server.SetOnDisconnect({});
    } catch (...) {
    }
  };
  if (MappingServer) detach(*MappingServer);
  for (auto& server : draining_) detach(*server);
  gate_->Close();
}

void TKestruneItem::Stop() {
  // The counts of this run stay readable until the next start.
  for (auto& server : draining_) {
    try {
      gate_->Close();
      server->SetActive(false);  // bounded, as below
      FoldTraffic(*server);
    } catch (...) {
    }
    ForgetServer(server.get());
  }
  draining_.clear();
  try {
    if (!MappingServer || !MappingServer->Active()) return;
    gate_->Close();
    MappingServer->SetActive(false);  // bounded: every worker wait is cancelled
    FoldTraffic(*MappingServer);
  } catch (...) {
  }
  try {
    ForgetServer(MappingServer.get());
    MappingServer.reset();
  } catch (...) {
  }
}

// OnConnect stays in place on purpose: the listener is still open after this
// (the window releases the tunnel right afterwards), and a connection accepted
// in between must get the tunnel's proxies and TLS like any other, never a bare
// direct connection. It reports nothing, as events are off.
void TKestruneItem::CloseAllConnections() {
  gate_->Close();
  if (!MappingServer) return;
  try {
    MappingServer->ClearReportingHooks();
    if (!MappingServer->Active()) return;
    // Under the context lock, outbound side first, then the local side; the
    // workers end their waits at once and close both sockets without an
    // orderly shutdown.
    MappingServer->CancelAllConnections();
  } catch (...) {
  }
  for (auto& server : draining_) {
    try {
      server->ClearReportingHooks();
      server->CancelAllConnections();
    } catch (...) {
    }
  }
}

bool TKestruneItem::IsRunning() const {
  try {
    return MappingServer && MappingServer->Active();
  } catch (...) {
    return false;
  }
}

int32_t TKestruneItem::ConnectionCount() const {
  int32_t count = 0;
  try {
    if (MappingServer) count += MappingServer->ConnectionCount();
    for (const auto& server : draining_) count += server->ConnectionCount();
  } catch (...) {
  }
  return count;
}

}  // namespace sorvik
