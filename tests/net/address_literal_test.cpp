// The one rule for host texts that name an address by themselves, and the
// direct connect following it: a dotted IPv4 text is four decimal numbers
// (leading zeros included), everything else is a name for the resolver.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "net/address_literal.h"
#include "net/tcp_client.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using V4 = std::optional<std::array<uint8_t, 4>>;

struct LiteralCase {
  const char* text;
  V4 v4;     // the address ParseIPv4Literal reads, nothing for a name
  bool v6;   // ParseIPv6Literal takes it
};

const LiteralCase kLiteralCases[] = {
    {"10.0.0.1", std::array<uint8_t, 4>{10, 0, 0, 1}, false},
    {"255.255.255.255", std::array<uint8_t, 4>{255, 255, 255, 255}, false},
    {"0.0.0.0", std::array<uint8_t, 4>{0, 0, 0, 0}, false},
    // Leading zeros are decimal, however many (the C library would read octal).
    {"010.0.0.1", std::array<uint8_t, 4>{10, 0, 0, 1}, false},
    {"0010.0.0.1", std::array<uint8_t, 4>{10, 0, 0, 1}, false},
    {"127.000.000.001", std::array<uint8_t, 4>{127, 0, 0, 1}, false},
    {"000000000000000000255.0.0.1", std::array<uint8_t, 4>{255, 0, 0, 1}, false},
    // Forms the C library also reads as addresses are names here.
    {"1.2.3", std::nullopt, false},
    {"0x7f.0.0.1", std::nullopt, false},
    {"4294967295", std::nullopt, false},
    {"1.2.3.4.", std::nullopt, false},
    {" 1.2.3.4", std::nullopt, false},
    {"1.2.3.4 ", std::nullopt, false},
    {"256.0.0.1", std::nullopt, false},
    {"1.2.3.256", std::nullopt, false},
    {"99999999999.0.0.1", std::nullopt, false},
    {"1.2.3.4.5", std::nullopt, false},
    {"1..2.3", std::nullopt, false},
    {"-1.2.3.4", std::nullopt, false},
    {"+1.2.3.4", std::nullopt, false},
    {"", std::nullopt, false},
    {"::1", std::nullopt, true},
    {"fe80::1:2", std::nullopt, true},
    {"::ffff:1.2.3.4", std::nullopt, true},
    {"[::1]", std::nullopt, false},
    {"fe80::1%eth0", std::nullopt, false},
    {"1:2:3:4:5:6:7:8:9", std::nullopt, false},
};

TEST(AddressLiteral, OneRuleForEveryForm) {
  for (const LiteralCase& c : kLiteralCases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    EXPECT_EQ(ParseIPv4Literal(c.text), c.v4);
    EXPECT_EQ(ParseIPv6Literal(c.text).has_value(), c.v6);
    EXPECT_EQ(IsAddressLiteral(c.text), c.v4.has_value() || c.v6);
    // An outbound IPv4 connection adds only LOCALHOST to the literals.
    EXPECT_EQ(KnownIPv4Address(c.text), c.v4);
  }
}

TEST(AddressLiteral, LocalhostInAnyCaseIsLoopback) {
  const std::array<uint8_t, 4> loopback{127, 0, 0, 1};
  for (const char* name : {"localhost", "LOCALHOST", "LocalHost"}) EXPECT_EQ(KnownIPv4Address(name), loopback) << name;
  for (const char* name : {"localhost.", "localhost6", " localhost", "local"}) {
    EXPECT_EQ(KnownIPv4Address(name), std::nullopt) << name;
  }
}

// A direct connect reads a dotted text as the SOCKS requests do: no lookup
// (which would read "0127" as octal 87), and the address it stands for.
TEST(AddressLiteral, DirectConnectReadsLeadingZerosAsDecimal) {
  for (const char* host : {"0127.0.0.1", "127.000.000.001", "LocalHost"}) {
    SCOPED_TRACE(host);
    test::FakePeer peer({test::PeerStep::NeverAnswer()});
    TIdTCPClient client;
    client.Host = host;
    client.Port = peer.Port();
    client.ConnectTimeout = 10000;
    std::vector<std::string> status;
    client.CreateIOHandler()->OnStatus = [&](TIdComponent&, TIdStatus, const std::string& text) {
      status.push_back(text);
    };
    client.Connect();
    EXPECT_EQ(client.IOHandler()->Binding().PeerIP, "127.0.0.1");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "Connecting to 127.0.0.1.");  // not "Resolving hostname ..."
  }
}

}  // namespace
}  // namespace sorvik
