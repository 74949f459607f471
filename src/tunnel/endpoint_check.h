// The checks a tunnel's endpoint passes before the tunnel listens: a remote
// host to reach, and a remote and a local port within 1 to 65535. The
// properties dialog shows the same texts next to its fields.
//
// Thread contract: pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/exceptions.h"
#include "tunnel/tunnel_settings.h"

namespace sorvik {

inline constexpr int32_t kPortLowest = 1;
inline constexpr int32_t kPortHighest = 65535;
// The lowest port an unprivileged user may listen on.
inline constexpr int32_t kFirstUnprivilegedPort = 1024;

// Raised by TKestruneItem::Start for an endpoint that fails these checks.
SORVIK_DECLARE_ERROR(ETunnelEndpointError, EIdException);

// Access: AllowFrom, MaxConnections or MaxConnectionRate; Failover:
// MoreServers, Failover, ConnectTimeout, KeepAlive or IdleTimeout.
enum class TEndpointField { RemoteHost, RemotePort, LocalPort, TlsSettings, Access, Failover };

struct TEndpointProblem {
  TEndpointField Field;
  std::string Text;  // one line, e.g. "Local port 0 is out of range (1 to 65535)."
};

// "Remote host is empty." for an empty or blank host; nothing otherwise.
std::optional<TEndpointProblem> RemoteHostProblem(const std::string& host);
// "<Remote|Local> port N is out of range (1 to 65535)." for a port outside 1..65535.
std::optional<TEndpointProblem> PortProblem(TEndpointField field, int32_t port);
// The first problem of remote host, remote port and local port, in this order.
std::optional<TEndpointProblem> EndpointProblem(const std::string& host, int32_t port, int32_t mapped);

// A port as the settings file stores it (the value of "Port" or "Mapped",
// blanks around it already dropped), judged as a start judges the port: a
// number by the settings reader's rule (decimal digits with an optional sign,
// or "0x" and hexadecimal digits, within 32 bits) from 1 to 65535 passes. Any
// other text, the empty one included, is refused with the text as stored:
//   Remote port "2100l" is not a number (1 to 65535).
// and a number outside the range with PortProblem's text.
std::optional<TEndpointProblem> StoredPortProblem(TEndpointField field, std::string_view stored);
// The number a stored text gives (decimal with an optional sign, or "0x" and
// hexadecimal digits, within 32 bits); nothing for a text that is not one. The
// settings reader reads every number of the file by this rule.
std::optional<int32_t> StoredNumber(std::string_view stored);

// The TLS settings of a tunnel that can never work, as one line: a key pin
// that is not one (KeyPinsProblem), or "Check Certificate" (SSLVerifycert=1)
// with an empty pin. Empty when there is none.
std::string TlsSettingsProblem(const TunnelSettings& settings);

// Who may use the tunnel, when it can never be what was meant, as one line: a
// wrong AllowFrom entry ("Allow from: \"10.0.0.300\" is not an IPv4 or IPv6
// address."), or a negative cap. Empty when there is none. A start refuses
// such a tunnel rather than open it to more clients than its list names.
std::string AccessSettingsProblem(const TunnelSettings& settings);

// The tool tip of the tunnel list's mark for a tunnel that listens on every
// address of the computer (LocalAccess off) without an allow-list, or with one
// that lets every IPv4 address in (0.0.0.0/0, ::/0): who can use it and how
// to limit that. Empty for any other tunnel.
std::string OpenToNetworkWarning(const TunnelSettings& settings);

// Everything a start checks in a tunnel's settings before it listens, in this
// order: the remote host (empty, or a name that cannot be written in ASCII),
// the stored texts of the remote and local port (PortText, MappedText), the
// ports' range, the TLS settings that can never work (SettingsProblem), who
// may use it (AccessSettingsProblem), then the remotes and time limits
// (FailoverSettingsProblem).
// The first problem's line, as the start raises it.
std::optional<TEndpointProblem> TunnelStartProblem(const TunnelSettings& settings);

// The address a tunnel listens on: "127.0.0.1" with localhost access only,
// otherwise "" (every IPv4 address).
inline std::string ListenAddress(bool localAccess) { return localAccess ? "127.0.0.1" : ""; }

// Not pure: binds and listens on the tunnel's local port the way a start does
// (same address, same socket options), then lets it go at once. The engine's
// reason, e.g. "Could not bind socket. Address and port are already in use.",
// when a start would fail there now; nothing when the port is free. `mapped`
// must have passed PortProblem. Any thread; the probe starts and ends one
// waiting worker of its own.
std::optional<TEndpointProblem> LocalPortTakenProblem(bool localAccess, int32_t mapped);

}  // namespace sorvik
