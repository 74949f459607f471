// Proxy credentials with real peers: microsocks with -u/-P (SOCKS 5
// user/password), danted with the username method (a system account), and
// tinyproxy with BasicAuth (HTTP Basic after its 407 and close). The right
// password relays bytes exactly; a wrong one ends the connection with the
// proxy's refusal in the log. Passwords come from a private password file, as
// in window-less mode, or are set directly, as the secret store sets them.
// Also: the SOCKS 4 user id on the wire, and the password file's checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "real_peers.h"
#include "support/net_fixtures.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/password_file.h"
#include "../tunnel/tunnel_test_util.h"

namespace sorvik::test {
namespace {

std::string PrivateFile(const TempDir& dir, const std::string& name, const std::string& content, mode_t mode = 0600) {
  const std::string path = dir.WriteFile(name, content);
  ::chmod(path.c_str(), mode);
  return path;
}

struct CredentialCase {
  const char* name;
  RealProxy::Kind kind;
  uint8_t proxyType;
  bool rightPassword;
  bool viaFile;
  const char* refusal;  // the error line's message for a wrong password
};

const CredentialCase kCredentialCases[] = {
    {"MicrosocksRightFromFile", RealProxy::kMicrosocksAuth, 3, true, true, ""},
    {"MicrosocksWrong", RealProxy::kMicrosocksAuth, 3, false, false, "Authentication error to socks server."},
    {"DantedRight", RealProxy::kDantedAuth, 3, true, false, ""},
    {"DantedWrongFromFile", RealProxy::kDantedAuth, 3, false, true, "Authentication error to socks server."},
    {"TinyproxyRightFromFile", RealProxy::kTinyproxyAuth, 4, true, true, ""},
    {"TinyproxyWrong", RealProxy::kTinyproxyAuth, 4, false, false, "401 Unauthorized"},
};

class ProxyCredentials : public ::testing::TestWithParam<CredentialCase> {};

TEST_P(ProxyCredentials, RightPasswordRelaysWrongOneIsRefused) {
  const CredentialCase& c = GetParam();
  std::unique_ptr<SystemAccount> account;
  std::string user = RealProxy::kUser;
  if (c.kind == RealProxy::kDantedAuth) {
    account = std::make_unique<SystemAccount>();
    if (account->Name().empty()) GTEST_SKIP() << account->Problem();
    user = account->Name();
  }
  RealProxy proxy(c.kind);
  if (!proxy.Ready()) GTEST_SKIP() << proxy.Problem();
  EchoServer echo;
  TempDir dir;
  EventRecorder recorder;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = ProxyTypeOfNumber(c.proxyType);
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = proxy.Port();
  tunnel.Settings.ProxyUser = user;
  const std::string password = c.rightPassword ? RealProxy::kPassword : "wrong-password";
  if (c.viaFile) {
    tunnel.Settings.ProxyPasswordFile = PrivateFile(dir, "pw", password + "\n");
  } else {
    tunnel.Settings.ProxyPassword = password;
  }
  tunnel.OnTunnelEvent = recorder.Hook();
  ASSERT_TRUE(tunnel.Start());
  BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
  if (c.rightPassword) {
    const std::string data = RandomBytes(100000, 5);
    ASSERT_TRUE(client.SendAll(data));
    EXPECT_EQ(client.RecvExact(data.size()), data);
    EXPECT_TRUE(recorder.WithCode(9).empty());
  } else {
    EXPECT_TRUE(client.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return recorder.WithCode(9).size() >= 2; }));
    for (const auto& e : recorder.WithCode(9)) {
      EXPECT_TRUE(StampedLine(e.text, std::string(" ERR > ") + c.refusal)) << e.text;
    }
    EXPECT_EQ(echo.Accepted(), 0);
  }
  tunnel.DetachEvents();
  tunnel.Stop();
}

INSTANTIATE_TEST_SUITE_P(RealPeers, ProxyCredentials, ::testing::ValuesIn(kCredentialCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The user name goes out as the SOCKS 4 user id (and the SOCKS 4A one); an
// empty one keeps today's bytes. The password never goes on the wire there.
TEST(ProxyCredentialsWire, Socks4UserId) {
  for (const char* user : {"", "alice"}) {
    SCOPED_TRACE(user);
    const std::string request = std::string("\x04\x01\x00\x77\x7f\x00\x00\x01", 8) + user + std::string(1, '\0');
    FakePeer proxy({PeerStep::Expect(request.size()), PeerStep::Send(std::string("\x00\x5a\0\0\0\0\0\0", 8)),
                    PeerStep::Send("hi"), PeerStep::Close()});
    TKestruneItem tunnel;
    tunnel.Settings.Server = "127.0.0.1";
    tunnel.Settings.Port = 119;
    tunnel.Settings.Mapped = FreePort();
    tunnel.Settings.ProxyType = TProxyType::Socks4;
    tunnel.Settings.ProxyHost = "127.0.0.1";
    tunnel.Settings.ProxyPort = proxy.Port();
    tunnel.Settings.ProxyUser = user;
    tunnel.Settings.ProxyPassword = "never-sent";
    ASSERT_TRUE(tunnel.Start());
    BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
    EXPECT_EQ(client.RecvUntilClosed(), "hi");
    EXPECT_EQ(proxy.Received(0), request);
    tunnel.Stop();
  }
}

// The second hop has credentials of its own: a SOCKS 4A first hop without,
// then an HTTP proxy that demands Basic credentials.
TEST(ProxyCredentialsWire, SecondHopCredentials) {
  RealProxy second(RealProxy::kTinyproxyAuth);
  RealProxy first(RealProxy::kSshSocks);
  if (!second.Ready()) GTEST_SKIP() << second.Problem();
  if (!first.Ready()) GTEST_SKIP() << first.Problem();
  EchoServer echo;
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = echo.Port();
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = TProxyType::SocksHttp;
  tunnel.Settings.ProxyHost = "127.0.0.1";
  tunnel.Settings.ProxyPort = first.Port();
  tunnel.Settings.ProxyHost2 = "127.0.0.1";
  tunnel.Settings.ProxyPort2 = second.Port();
  tunnel.Settings.ProxyUser2 = RealProxy::kUser;
  tunnel.Settings.ProxyPassword2 = RealProxy::kPassword;
  ASSERT_TRUE(tunnel.Start());
  BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
  ASSERT_TRUE(client.SendAll("ping"));
  EXPECT_EQ(client.RecvExact(4), "ping");
  tunnel.Stop();
}

// The password file: private files are read (one line, its break dropped);
// anything else is refused with a line that names the file and the reason,
// and a tunnel whose file is refused does not start.
TEST(PasswordFile, ReadsPrivateFilesRefusesTheRest) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    const char* password;  // null: refused
    const char* reason;
  } cases[] = {
      {"private", PrivateFile(dir, "a", "s3cret\n"), "s3cret", ""},
      {"CR LF and a second line", PrivateFile(dir, "b", "s3cret\r\nignored\n"), "s3cret", ""},
      {"no line break, owner read only", PrivateFile(dir, "c", "p w", 0400), "p w", ""},
      {"empty", PrivateFile(dir, "d", ""), "", ""},
      {"group readable", PrivateFile(dir, "e", "x", 0640), nullptr, "group or others may access it (mode 0640)"},
      {"world readable", PrivateFile(dir, "f", "x", 0604), nullptr, "chmod 600"},
      {"missing", dir.Path() + "/missing", nullptr, "cannot open it: No such file or directory."},
      {"a directory", dir.Path(), nullptr, "it is not a regular file."},
      {"too large", PrivateFile(dir, "g", std::string(5000, 'x')), nullptr, "larger than 4096 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.password) {
      EXPECT_EQ(ReadPasswordFile(c.path), c.password);
      continue;
    }
    try {
      ReadPasswordFile(c.path);
      ADD_FAILURE() << "not refused";
    } catch (const EPasswordFileError& e) {
      const std::string m = e.what();
      EXPECT_EQ(m.rfind("Password file \"" + c.path + "\" refused: ", 0), 0u) << m;
      EXPECT_NE(m.find(c.reason), std::string::npos) << m;
    }
  }
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Mapped = FreePort();
  tunnel.Settings.ProxyType = TProxyType::Socks5;
  tunnel.Settings.ProxyUser = "alice";
  tunnel.Settings.ProxyPasswordFile2 = PrivateFile(dir, "h", "x", 0644);
  EXPECT_THROW(tunnel.Start(), EPasswordFileError);
  EXPECT_FALSE(tunnel.IsRunning());
}

}  // namespace
}  // namespace sorvik::test
