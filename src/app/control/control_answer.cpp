#include "app/control/control_answer.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/core/app_core.h"
#include "app/core/terminal_text.h"
#include "app/settings/settings.h"
#include "tunnel/connection_report.h"
#include "tunnel/remotes.h"

namespace sorvik {

namespace {

std::vector<std::string> ProxyHops(const TunnelSettings& s) {
  const std::string first = EndpointText(s.ProxyHost, s.ProxyPort);
  const std::string second = EndpointText(s.ProxyHost2, s.ProxyPort2);
  switch (s.ProxyType) {
    case TProxyType::None: return {};
    case TProxyType::Socks4: return {"socks4://" + first};
    case TProxyType::Socks4A: return {"socks4a://" + first};
    case TProxyType::Socks5: return {"socks5://" + first};
    case TProxyType::Http: return {"http://" + first};
    case TProxyType::SocksSocks: return {"socks4a://" + first, "socks4://" + second};
    case TProxyType::SocksHttp: return {"socks4a://" + first, "http://" + second};
    case TProxyType::HttpHttp: return {"http://" + first, "http://" + second};
  }
  return {};  // "other": direct
}

std::string StateName(TRunState state) {
  switch (state) {
    case TRunState::Running: return "running";
    case TRunState::Failed: return "failed";
    case TRunState::Stopped: break;
  }
  return "stopped";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t n = Utf8SequenceLength(text, at);
    if (n == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
      // C1 controls: valid JSON as they are, but not for a terminal.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[at + 1]));
      out += buf;
      at += n;
      continue;
    }
    if (n > 1) {
      out.append(text, at, n);
      at += n;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++at;
  }
  return out + "\"";
}

std::string ListenText(const TunnelSettings& s) {
  return std::string(s.LocalAccess ? "127.0.0.1" : "0.0.0.0") + ":" + std::to_string(s.Mapped);
}

std::vector<TTunnelStatus> CollectStatus(AppCore& core) {
  std::vector<TTunnelStatus> rows;
  for (int row = 0; row < core.TunnelCount(); ++row) {
    TKestruneItem& t = *core.TunnelAt(row);
    const TunnelSettings& s = t.Settings;  // the UI thread is its only writer
    TTunnelStatus r;
    r.Caption = ShownCaption(s);
    r.State = StateName(t.RunState);
    r.Local = ListenText(s);
    r.Remote = EndpointText(s.Server, s.Port);
    r.Proxies = ProxyHops(s);
    const TKestruneItem::TTraffic traffic = t.Traffic();
    r.Connections = traffic.Connections;
    r.BytesIn = traffic.BytesIn;
    r.BytesOut = traffic.BytesOut;
    r.Refused = traffic.Refused;
    if (t.RunState == TRunState::Failed) r.Error = t.RunError.empty() ? "unknown reason" : t.RunError;
    const std::shared_ptr<TFailoverState> failover = t.IsRunning() ? t.FailoverState() : nullptr;
    if (failover) {
      for (const TFailoverState::TRemoteState& state : failover->States()) {
        r.Remotes.push_back({EndpointText(state.Remote.Host, state.Remote.Port), RemoteStateName(state.State),
                             state.LastError, state.Connections});
      }
    } else {
      for (const TRemote& remote : TunnelRemotes(s)) {
        r.Remotes.push_back({EndpointText(remote.Host, remote.Port), "untried", "", 0});
      }
    }
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string FormatStatusTable(const std::vector<TTunnelStatus>& rows) {
  std::vector<std::vector<std::string>> cells = {
      {"#", "CAPTION", "STATE", "LOCAL", "REMOTE", "CONNECTIONS", "BYTES IN", "BYTES OUT", "REFUSED"}};
  for (const TTunnelStatus& r : rows) {
    std::string remote = r.Remote;
    for (const std::string& hop : r.Proxies) remote += (&hop == &r.Proxies.front() ? " via " : ", ") + hop;
    cells.push_back({std::to_string(cells.size()), TerminalText(r.Caption), r.State, r.Local, TerminalText(remote),
                     std::to_string(r.Connections), std::to_string(r.BytesIn), std::to_string(r.BytesOut),
                     std::to_string(r.Refused)});
  }
  // Padded by the columns a terminal shows, not by bytes: a caption with
  // letters beyond ASCII lines up with the others.
  std::vector<size_t> width(cells.front().size(), 0);
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], DisplayWidth(line[i]));
  }
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      const bool number = i == 0 || i >= 5;  // the numbers and counts are aligned right
      const std::string pad(width[i] - DisplayWidth(line[i]), ' ');
      if (i > 0) text += "  ";
      text += number ? pad + line[i] : line[i] + (i + 1 < line.size() ? pad : std::string());
    }
    out += text + "\n";
  }
  for (const TTunnelStatus& r : rows) {
    if (r.State == "failed") out += TerminalText(r.Caption) + " failed: " + TerminalText(r.Error) + "\n";
  }
  return out;
}

std::string FormatStatusJson(const std::vector<TTunnelStatus>& rows) {
  std::string out = "{\"tunnels\": [";
  for (size_t i = 0; i < rows.size(); ++i) {
    const TTunnelStatus& r = rows[i];
    if (i > 0) out += ", ";
    out += "{\"caption\": " + JsonString(r.Caption) + ", \"state\": " + JsonString(r.State) +
           ", \"local\": " + JsonString(r.Local) + ", \"remote\": " + JsonString(r.Remote) + ", \"proxies\": [";
    for (size_t k = 0; k < r.Proxies.size(); ++k) out += (k > 0 ? ", " : "") + JsonString(r.Proxies[k]);
    out += "], \"connections\": " + std::to_string(r.Connections) + ", \"bytes_in\": " + std::to_string(r.BytesIn) +
           ", \"bytes_out\": " + std::to_string(r.BytesOut) + ", \"refused\": " + std::to_string(r.Refused) +
           ", \"remotes\": [";
    for (size_t k = 0; k < r.Remotes.size(); ++k) {
      const TTunnelStatus::TRemoteStatus& remote = r.Remotes[k];
      out += std::string(k > 0 ? ", " : "") + "{\"remote\": " + JsonString(remote.Remote) +
             ", \"state\": " + JsonString(remote.State) + ", \"last_error\": " + JsonString(remote.LastError) +
             ", \"connects\": " + std::to_string(remote.Connections) + "}";
    }
    out += "]";
    if (r.State == "failed") out += ", \"error\": " + JsonString(r.Error);
    out += "}";
  }
  return out + "]}\n";
}

namespace {

// The row `caption` names (control_protocol.h), or -1.
int ControlRow(AppCore& core, const std::string& caption) {
  const int row = FindTunnelRow(core.Tunnels(), caption);
  if (row >= 0 || caption.size() < 2 || caption.size() > 10 || caption[0] != '#' || caption[1] == '0') return row;
  long long n = 0;
  for (size_t i = 1; i < caption.size(); ++i) {
    if (caption[i] < '0' || caption[i] > '9') return -1;
    n = n * 10 + (caption[i] - '0');
  }
  return n <= core.TunnelCount() ? static_cast<int>(n - 1) : -1;
}

}  // namespace

std::string AnswerControlRequest(AppCore& core, const TControlRequest& request) {
  switch (request.Verb) {
    case TControlRequest::TVerb::Status: return "ok\n" + FormatStatusTable(CollectStatus(core));
    case TControlRequest::TVerb::StatusJson: return "ok\n" + FormatStatusJson(CollectStatus(core));
    case TControlRequest::TVerb::Start:
    case TControlRequest::TVerb::Stop: break;
  }
  const int row = ControlRow(core, request.Caption);
  if (row < 0) return "unknown no tunnel " + JsonString(request.Caption) + " in the running instance\n";
  TKestruneItem& t = *core.TunnelAt(row);
  // The caption as a terminal may show it, and the tunnel's number when
  // another tunnel shows the same caption.
  std::string named = "\"" + TerminalText(ShownCaption(t.Settings)) + "\"";
  int sharing = 0;
  for (const auto& other : core.Tunnels()) sharing += ShownCaption(other->Settings) == ShownCaption(t.Settings);
  if (sharing > 1) named += " (#" + std::to_string(row + 1) + ")";
  if (request.Verb == TControlRequest::TVerb::Stop) {
    const bool wasRunning = t.IsRunning() || t.ConnectionCount() > 0;
    core.StopTunnel(row, /*ask=*/false);
    if (t.RunState != TRunState::Stopped) return "error tunnel " + named + " could not be stopped\n";
    return "ok\nTunnel " + named + (wasRunning ? " stopped.\n" : " is not running.\n");
  }
  if (t.RunState == TRunState::Running && t.IsRunning()) return "ok\nTunnel " + named + " is already running.\n";
  std::string reason;
  {
    // The core's failure hook hears the reason for the length of the start
    // (and is put back even if the start throws: this one refers to locals).
    struct Listening {
      AppCore& core;
      decltype(AppCore::OnStartFailure) previous;
      ~Listening() { core.OnStartFailure = std::move(previous); }
    } listening{core, core.OnStartFailure};
    core.OnStartFailure = [&reason, &listening](const std::string& caption, const std::string& why) {
      reason = why;
      if (listening.previous) listening.previous(caption, why);
    };
    core.RunTunnel(row);
  }
  if (t.RunState != TRunState::Running) {
    return "error tunnel " + named + " could not start: " + TerminalText(reason.empty() ? "unknown reason" : reason) +
           "\n";
  }
  return "ok\nTunnel " + named + " started.\n";
}

}  // namespace sorvik
