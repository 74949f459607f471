#include "proxy/name_lookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "net/socket_util.h"

namespace sorvik {

std::optional<std::array<uint8_t, 4>> SystemLookupIPv4(const std::string& host) {
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  std::array<uint8_t, 4> out{};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  std::memcpy(out.data(), &sin->sin_addr, 4);
  ::freeaddrinfo(list);
  return out;
}

std::optional<std::array<uint8_t, 4>> LookupIPv4(const std::string& host, TWaker* cancel,
                                                 const IPv4Lookup& lookup) {
  if (!cancel) return lookup(host);
  auto result = std::make_shared<std::optional<std::array<uint8_t, 4>>>();
  RunAbandonable([result, host, lookup] { *result = lookup(host); }, *cancel);
  return *result;
}

}  // namespace sorvik
