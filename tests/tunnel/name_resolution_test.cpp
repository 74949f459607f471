// Who resolves a tunnel's remote host name, by proxy type: the statement of the
// Proxy tab and the list's leak mark, as one table of cases; and which remote
// hosts count as names there and for the TLS server name (the one rule of
// net/address_literal.h).
#include <gtest/gtest.h>

#include <string>

#include "tls/ssl_io_handler.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/proxy_type.h"

namespace sorvik {
namespace {

struct ResolutionCase {
  int proxyType;
  TNameResolver resolver;
  const char* statementStart;
  bool leaksForName;  // marked in the list when the remote host is a name
};

const ResolutionCase kCases[] = {
    {0, TNameResolver::ThisComputer, "The remote host name is resolved by this computer: ", false},
    {1, TNameResolver::ThisComputer, "The remote host name is resolved by this computer, because SOCKS 4", true},
    {2, TNameResolver::FirstProxy, "The remote host name is resolved by the proxy;", false},
    {3, TNameResolver::FirstProxy, "The remote host name is resolved by the proxy;", false},
    {4, TNameResolver::FirstProxy, "The remote host name is resolved by the proxy;", false},
    // A SOCKS 4 second hop makes this computer resolve, behind a SOCKS 4A first hop.
    {5, TNameResolver::ThisComputer, "The remote host name is resolved by this computer, because SOCKS 4", true},
    {6, TNameResolver::SecondProxy, "The remote host name is resolved by the second proxy;", false},
    {7, TNameResolver::SecondProxy, "The remote host name is resolved by the second proxy;", false},
    {8, TNameResolver::ThisComputer, "The remote host name is resolved by this computer: ", false},
    {255, TNameResolver::ThisComputer, "The remote host name is resolved by this computer: ", false},
};

TEST(NameResolutionTest, StatementAndLeakMarkForEveryProxyType) {
  for (const ResolutionCase& c : kCases) {
    SCOPED_TRACE("proxy type " + std::to_string(c.proxyType));
    const TProxyType type = ProxyTypeOfNumber(c.proxyType);
    EXPECT_EQ(RemoteNameResolver(type), c.resolver);
    const std::string statement = NameResolutionStatement(type);
    EXPECT_EQ(statement.rfind(c.statementStart, 0), 0u) << statement;
    EXPECT_EQ(statement.find("name server") != std::string::npos, c.resolver == TNameResolver::ThisComputer);
    EXPECT_EQ(RemoteNameLeaks(type, "news.example.org"), c.leaksForName);
    // Address literals are never looked up; an empty host neither.
    EXPECT_FALSE(RemoteNameLeaks(type, "192.0.2.7"));
    EXPECT_FALSE(RemoteNameLeaks(type, "2001:db8::7"));
    EXPECT_FALSE(RemoteNameLeaks(type, ""));
  }
}

// A dotted text with leading zeros is an address (what a direct connect and the
// SOCKS requests reach), so SOCKS 4 does not look it up and TLS sends no server
// name for it; a short numeric form is a name, as before.
TEST(NameResolutionTest, AddressLiteralsByTheOneRule) {
  struct Case {
    const char* server;
    bool isName;
  };
  const Case cases[] = {{"news.example.org", true}, {"192.0.2.7", false}, {"010.0.0.1", false},
                        {"0010.0.0.1", false},      {"::1", false},       {"1.2.3", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    EXPECT_EQ(RemoteNameLeaks(TProxyType::Socks4, c.server), c.isName);
    TunnelSettings f;
    f.Server = c.server;
    f.SSLSNI = true;
    TIdSSLOptions options;
    ApplyTunnelTlsOptions(options, f);
    EXPECT_EQ(options.ServerName, c.isName ? std::string(c.server) : std::string());
  }
}

}  // namespace
}  // namespace sorvik
