#include "tunnel/endpoint_check.h"

#include <exception>

#include "net/mapped_port_tcp.h"

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
