#include "tunnel/endpoint_check.h"

#include <exception>
#include <vector>

#include "net/client_access.h"
#include "net/host_name.h"
#include "net/mapped_port_tcp.h"
#include "tls/certificate_check.h"
#include "tunnel/remotes.h"

namespace sorvik {

std::optional<TEndpointProblem> RemoteHostProblem(const std::string& host) {
  if (host.find_first_not_of(" \t\r\n") != std::string::npos) return std::nullopt;
  return TEndpointProblem{TEndpointField::RemoteHost, "Remote host is empty."};
}

std::optional<TEndpointProblem> PortProblem(TEndpointField field, int32_t port) {
  if (port >= kPortLowest && port <= kPortHighest) return std::nullopt;
  return TEndpointProblem{field, std::string(field == TEndpointField::LocalPort ? "Local" : "Remote") + " port " +
                                     std::to_string(port) + " is out of range (" + std::to_string(kPortLowest) +
                                     " to " + std::to_string(kPortHighest) + ")."};
}

std::optional<TEndpointProblem> EndpointProblem(const std::string& host, int32_t port, int32_t mapped) {
  if (auto p = RemoteHostProblem(host)) return p;
  if (auto p = PortProblem(TEndpointField::RemotePort, port)) return p;
  return PortProblem(TEndpointField::LocalPort, mapped);
}

std::optional<int32_t> StoredNumber(std::string_view text) {
  // The number rule of the settings file: the reader (TIniFile::ParseInteger)
  // uses it too.
  const auto hexDigit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      const int d = hexDigit(text[i]);
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(v));
  }
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v = v * 10 + (text[i] - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<TEndpointProblem> StoredPortProblem(TEndpointField field, std::string_view stored) {
  if (const auto number = StoredNumber(stored)) return PortProblem(field, *number);
  return TEndpointProblem{field, std::string(field == TEndpointField::LocalPort ? "Local" : "Remote") + " port \"" +
                                     std::string(stored) + "\" is not a number (" + std::to_string(kPortLowest) +
                                     " to " + std::to_string(kPortHighest) + ")."};
}

std::string TlsSettingsProblem(const TunnelSettings& s) {
  if (std::string problem = KeyPinsProblem(s.SSLPinnedKeys); !problem.empty()) return problem;
  if (s.SSLVerifycert) {
    // With "Check Certificate" on, an empty pin refuses every server (a
    // computed value is never empty): a settings error, not an attack.
    const struct {
      const char* key;
      const std::string& value;
    } pins[] = {{"SSLFingerprint", s.SSLFingerprint}, {"SSLSubjectHash", s.SSLSubjectHash},
                {"SSLIssuerHash", s.SSLIssuerHash}};
    for (const auto& pin : pins) {
      if (!pin.value.empty()) continue;
      return std::string("SSLVerifycert=1 (\"Check Certificate\") compares the certificate with three pins, and ") +
             pin.key + " is empty: every server would be refused. \"Fetch from server…\" in the SSL tab or "
             "sorvik --show-cert gives the lines SSLFingerprint, SSLSubjectHash and SSLIssuerHash; or turn the "
             "check off (SSLVerifycert=0).";
    }
  }
  return {};
}

std::optional<TEndpointProblem> TunnelStartProblem(const TunnelSettings& s) {
  if (auto p = RemoteHostProblem(s.Server)) return p;
  std::string why;
  if (!AsciiHostName(s.Server, &why)) {
    return TEndpointProblem{TEndpointField::RemoteHost,
                            "Remote host \"" + s.Server + "\" is no valid international name, so it has no ASCII "
                            "form (A-label) to look up or send: " + why + "."};
  }
  // A port key whose text is not a number holds the key's default; the text
  // the user wrote decides.
  if (s.PortText) {
    if (auto p = StoredPortProblem(TEndpointField::RemotePort, *s.PortText)) return p;
  }
  if (s.MappedText) {
    if (auto p = StoredPortProblem(TEndpointField::LocalPort, *s.MappedText)) return p;
  }
  if (auto p = EndpointProblem(s.Server, s.Port, s.Mapped)) return p;
  if (s.SSLHost) {
    if (std::string problem = TlsSettingsProblem(s); !problem.empty()) {
      return TEndpointProblem{TEndpointField::TlsSettings, problem};
    }
  }
  if (std::string problem = AccessSettingsProblem(s); !problem.empty()) {
    return TEndpointProblem{TEndpointField::Access, problem};
  }
  if (std::string problem = FailoverSettingsProblem(s); !problem.empty()) {
    return TEndpointProblem{TEndpointField::Failover, problem};
  }
  return std::nullopt;
}

std::string OpenToNetworkWarning(const TunnelSettings& s) {
  if (s.LocalAccess) return {};
  const char* why = "has no allow-list";
  if (s.AllowFrom.find_first_not_of(" \t,") != std::string::npos) {
    // A list limits who may connect, unless it lets every IPv4 address in
    // (0.0.0.0/0, ::/0). A wrong list keeps the tunnel from starting.
    const std::optional<TAllowList> list = TAllowList::Parse(s.AllowFrom);
    if (!list || !list->AllowsEveryIPv4()) return {};
    why = "its allow-list lets every address in";
  }
  return std::string("Open to the network: this tunnel listens on every address of this computer and ") + why +
         ", so anyone on the same network (a shared Wi-Fi, a flat, an office) can use it to reach its remote "
         "host through its proxies, under your name. Limit it in Properties, Access, \"Allow from\" (for "
         "example 192.168.1.0/24), or tick \"localhost access\" on the Main tab.";
}

std::string AccessSettingsProblem(const TunnelSettings& s) {
  const std::vector<std::string> wrong = TAllowList::Problems(s.AllowFrom);
  if (!wrong.empty()) return "Allow from: " + wrong.front() + ".";
  for (const auto& [key, text] : s.NumberTexts) {
    if (key == "MaxConnections" || key == "MaxConnectionRate") {
      return key + " \"" + text + "\" is not a number (0: no cap).";
    }
  }
  if (s.MaxConnections < 0) {
    return "Max connections " + std::to_string(s.MaxConnections) + " is negative (0: no cap).";
  }
  if (s.MaxConnectionRate < 0) {
    return "Max new connections per second " + std::to_string(s.MaxConnectionRate) + " is negative (0: no cap).";
  }
  return {};
}

std::optional<TEndpointProblem> LocalPortTakenProblem(bool localAccess, int32_t mapped) {
  TIdMappedPortTCP probe;
  TIdListenBinding binding;
  binding.IP = ListenAddress(localAccess);
  binding.Port = static_cast<uint16_t>(mapped);
  binding.IPVersion = Id_IPv4;
  probe.Bindings.push_back(binding);
  probe.DefaultPort = binding.Port;
  try {
    probe.SetActive(true);
    probe.SetActive(false);
  } catch (const std::exception& e) {
    return TEndpointProblem{TEndpointField::LocalPort, e.what()};
  }
  return std::nullopt;
}

}  // namespace sorvik
