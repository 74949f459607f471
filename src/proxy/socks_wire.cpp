#include "proxy/socks_wire.h"

#include "net/address_literal.h"
#include "proxy/wire_text.h"

namespace sorvik::socks {

namespace {
void PutPort(std::vector<uint8_t>& out, uint16_t port) {
  out.push_back(static_cast<uint8_t>(port >> 8));
  out.push_back(static_cast<uint8_t>(port & 0xFF));
}

void PutText(std::vector<uint8_t>& out, const std::string& ascii) { out.insert(out.end(), ascii.begin(), ascii.end()); }
}  // namespace

std::vector<uint8_t> BuildSocks4Request(uint8_t command, uint16_t port, const std::array<uint8_t, 4>& address,
                                        std::string_view username, bool socks4a, std::string_view host) {
  std::vector<uint8_t> out{4, command};
  PutPort(out, port);
  out.insert(out.end(), address.begin(), address.end());
  PutText(out, ToAscii7(username));
  out.push_back(0);
  if (socks4a) {
    PutText(out, ToAscii7(host));
    out.push_back(0);
  }
  return out;
}

void CheckSocks4Reply(const uint8_t* reply) {
  switch (reply[1]) {
    case 90: return;
    case 91: throw EIdSocksRequestFailed(kMsgSocksRequestFailed);
    case 92: throw EIdSocksRequestServerFailed(kMsgSocksRequestServerFailed);
    case 93: throw EIdSocksRequestIdentFailed(kMsgSocksRequestIdentFailed);
    default: throw EIdSocksUnknownError(kMsgSocksUnknownError);
  }
}

std::vector<uint8_t> BuildSocks5Greeting(uint8_t method) { return {5, 1, method}; }

void CheckSocks5MethodReply(const uint8_t* reply, uint8_t offered) {
  if (reply[1] != offered) throw EIdSocksAuthMethodError(kMsgSocksAuthMethodError);
}

std::vector<uint8_t> BuildSocks5Auth(std::string_view username, std::string_view password) {
  std::string user = ToAscii7(username);
  std::string pass = ToAscii7(password);
  if (user.size() > kMaxField) user.resize(kMaxField);
  if (pass.size() > kMaxField) pass.resize(kMaxField);
  std::vector<uint8_t> out{1, static_cast<uint8_t>(user.size())};
  PutText(out, user);
  out.push_back(static_cast<uint8_t>(pass.size()));
  PutText(out, pass);
  return out;
}

void CheckSocks5AuthReply(const uint8_t* reply) {
  if (reply[1] != 0) throw EIdSocksAuthError(kMsgSocksAuthError);
}

std::vector<uint8_t> BuildSocks5Request(uint8_t command, std::string_view host, uint16_t port) {
  std::vector<uint8_t> out{5, command, 0};
  if (auto v6 = ParseIPv6Literal(host)) {
    out.push_back(kAtypIPv6);
    out.insert(out.end(), v6->begin(), v6->end());
  } else if (auto v4 = ParseIPv4Literal(host)) {
    out.push_back(kAtypIPv4);
    out.insert(out.end(), v4->begin(), v4->end());
  } else {
    std::string name = ToAscii7(host);
    if (name.size() > kMaxField) name.resize(kMaxField);
    out.push_back(kAtypName);
    out.push_back(static_cast<uint8_t>(name.size()));
    PutText(out, name);
  }
  PutPort(out, port);
  return out;
}

size_t CheckSocks5ReplyHead(const uint8_t* head) {
  switch (head[1]) {
    case 0: break;
    case 1: throw EIdSocksServerGeneralError(kMsgSocksServerGeneralError);
    case 2: throw EIdSocksServerPermissionError(kMsgSocksServerPermissionError);
    case 3: throw EIdSocksServerNetUnreachableError(kMsgSocksServerNetUnreachableError);
    case 4: throw EIdSocksServerHostUnreachableError(kMsgSocksServerHostUnreachableError);
    case 5: throw EIdSocksServerConnectionRefusedError(kMsgSocksServerConnectionRefusedError);
    case 6: throw EIdSocksServerTTLExpiredError(kMsgSocksServerTTLExpiredError);
    case 7: throw EIdSocksServerCommandError(kMsgSocksServerCommandError);
    case 8: throw EIdSocksServerAddressError(kMsgSocksServerAddressError);
    default: throw EIdSocksUnknownError(kMsgSocksUnknownError);
  }
  switch (head[3]) {
    case kAtypIPv4: return 5;                          // 3 more address bytes + port
    case kAtypName: return static_cast<size_t>(head[4]) + 2;  // rest of the name + port
    case kAtypIPv6: return 17;                         // 15 more address bytes + port
    default: throw EIdSocksServerAddressError(kMsgSocksServerAddressError);
  }
}

}  // namespace sorvik::socks
