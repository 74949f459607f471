// Who resolves a tunnel's remote host name, by proxy type: the statement of the
// Proxy tab and the list's leak mark, as one table of cases.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace sorvik
