// Proxy passwords in a real Secret Service: GNOME Keyring in a private D-Bus
// session (with_secret_service.sh starts it). Entries by tunnel and hop, a
// tunnel's passwords filled from the store, and a tunnel whose password comes
// from the store logging in to microsocks -u/-P.
#include "app/gui/secret_store.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../../proxy/real_peers.h"
#include "support/net_fixtures.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {
namespace {

using R = TSecretStore::TResult;

class SecretStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("SORVIK_NO_SECRET_SERVICE")) GTEST_SKIP() << "no dbus-run-session or gnome-keyring-daemon";
  }
  TSecretStore store;
  std::string error;
};

TEST_F(SecretStoreTest, EntriesByTunnelAndHop) {
  EXPECT_EQ(TSecretStore::Key("News", 2), "News/proxy2");
  ASSERT_EQ(store.Write("News", 1, "first s3cret", error), R::Ok) << error;
  ASSERT_EQ(store.Write("News", 2, "zweites Passwört", error), R::Ok) << error;
  std::string p;
  EXPECT_EQ(store.Read("News", 1, p, error), R::Ok) << error;
  EXPECT_EQ(p, "first s3cret");
  EXPECT_EQ(store.Read("News", 2, p, error), R::Ok) << error;
  EXPECT_EQ(p, "zweites Passwört");
  EXPECT_EQ(store.Read("Other", 1, p, error), R::NotFound);
  ASSERT_EQ(store.Write("News", 1, "changed", error), R::Ok) << error;
  EXPECT_EQ(store.Read("News", 1, p, error), R::Ok);
  EXPECT_EQ(p, "changed");
  EXPECT_EQ(store.Remove("News", 1, error), R::Ok) << error;
  EXPECT_EQ(store.Read("News", 1, p, error), R::NotFound);
  EXPECT_EQ(store.Remove("News", 1, error), R::Ok);  // already gone
  EXPECT_EQ(store.Read("News", 2, p, error), R::Ok);
}

// LoadPasswords fills a hop that has a user name and no password file; the
// caption (or the remote host when it is empty) names the entry.
TEST_F(SecretStoreTest, LoadPasswordsOfATunnel) {
  ASSERT_EQ(store.Write("Load", 1, "one", error), R::Ok) << error;
  ASSERT_EQ(store.Write("Load", 2, "two", error), R::Ok) << error;
  ASSERT_EQ(store.Write("news.example.org", 1, "by host", error), R::Ok) << error;
  struct Case {
    const char* name;
    const char* caption;
    const char* user1;
    const char* user2;
    const char* file2;
    const char* password1;
    const char* password2;
  } cases[] = {
      {"both hops", "Load", "a", "b", "", "one", "two"},
      {"no user name: nothing read", "Load", "", "b", "", "", "two"},
      {"a password file wins", "Load", "a", "b", "/some/file", "one", ""},
      {"empty caption: the remote host", "", "a", "", "", "by host", ""},
      {"no entry", "Nothing", "a", "b", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TKestruneItem t;
    t.Settings.TunnelCaption = c.caption;
    t.Settings.Server = "news.example.org";
    t.Settings.ProxyUser = c.user1;
    t.Settings.ProxyUser2 = c.user2;
    t.Settings.ProxyPasswordFile2 = c.file2;
    EXPECT_EQ(store.LoadPasswords(t), "");
    EXPECT_EQ(t.Settings.ProxyPassword, c.password1);
    EXPECT_EQ(t.Settings.ProxyPassword2, c.password2);
  }
}

// The whole way: the password stored for the tunnel logs in to a real SOCKS 5
// proxy that demands it; a wrong stored one is refused.
TEST_F(SecretStoreTest, StoredPasswordLogsInToARealProxy) {
  test::RealProxy proxy(test::RealProxy::kMicrosocksAuth);
  if (!proxy.Ready()) GTEST_SKIP() << proxy.Problem();
  test::EchoServer echo;
  for (bool right : {true, false}) {
    SCOPED_TRACE(right ? "right password" : "wrong password");
    ASSERT_EQ(store.Write("Socks", 1, right ? test::RealProxy::kPassword : "nope", error), R::Ok) << error;
    TKestruneItem t;
    t.Settings.TunnelCaption = "Socks";
    t.Settings.Server = "127.0.0.1";
    t.Settings.Port = echo.Port();
    t.Settings.Mapped = test::FreePort();
    t.Settings.ProxyType = TProxyType::Socks5;
    t.Settings.ProxyHost = "127.0.0.1";
    t.Settings.ProxyPort = proxy.Port();
    t.Settings.ProxyUser = test::RealProxy::kUser;
    EXPECT_EQ(store.LoadPasswords(t), "");
    ASSERT_TRUE(t.Start());
    test::BlockingClient c(static_cast<uint16_t>(t.Settings.Mapped));
    if (right) {
      ASSERT_TRUE(c.SendAll("hello"));
      EXPECT_EQ(c.RecvExact(5), "hello");
    } else {
      EXPECT_TRUE(c.WaitClosed());
    }
    t.Stop();
  }
  EXPECT_EQ(echo.Accepted(), 1);
}

}  // namespace
}  // namespace sorvik

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
