// The user unit's sandbox (data/sorvik-headless.service.in) around the real
// window-less program: the unit_sandbox tool applies the unit's own settings
// (no user manager runs on a test machine), and tunnels of every proxy kind
// (direct, SOCKS 4, 4A, 5, HTTP and the three two-hop chains, through danted,
// ssh -D, microsocks and tinyproxy) and TLS tunnels relay exactly through it.
// A second test shows that the restrictions are really in force.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "real_peers.h"
#include "support/file_fixtures.h"
#include "support/net_fixtures.h"
#include "tls/tls_fixtures.h"

namespace sorvik::test {
namespace {

// A directory outside /tmp and /var/tmp, which the unit makes private: the
// settings directory of a user service lies in the home directory. Beside
// the build tree, or in the user's cache directory when the build tree lies
// under /tmp.
class DataDir {
 public:
  DataDir() {
    const std::string base = OutsideTmpBase();
    if (base.empty()) return;
    std::string pattern = base + "/unit-sandbox-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~DataDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadProcStatus(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::string v = line.substr(field.size() + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  }
  return {};
}

// The unit's PrivateUsers= needs user namespaces; where the kernel refuses
// them, the service manager could not start the unit either.
bool UserNamespacesAvailable() {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#define REQUIRE_USER_NAMESPACES()                                                                      \
  do {                                                                                                 \
    if (!UserNamespacesAvailable()) GTEST_SKIP() << "this kernel refuses user namespaces (PrivateUsers=)"; \
  } while (0)

struct TunnelCase {
  std::string caption;
  int proxyType;
  const RealProxy* first;
  const RealProxy* second;
  std::string server;
  uint16_t port;
  bool tls;
  uint16_t mapped = 0;
};

TEST(UnitSandbox, TheSandboxedServiceRelaysThroughEveryProxyKind) {
  REQUIRE_USER_NAMESPACES();
  RealProxy danted(RealProxy::kDanted);
  RealProxy ssh(RealProxy::kSshSocks);
  RealProxy microsocks(RealProxy::kMicrosocks);
  RealProxy tiny1(RealProxy::kTinyproxy);
  RealProxy tiny2(RealProxy::kTinyproxy);
  for (const RealProxy* p : {&danted, &ssh, &microsocks, &tiny1, &tiny2}) {
    if (!p->Ready()) GTEST_SKIP() << p->Problem();
  }
  EchoServer echo;
  TlsServerConfig config;
  config.CertChainFile = Certificates().Path("leaf-chain.pem");
  config.KeyFile = Certificates().Path("leaf.key");
  TlsServer tls(config);
  const std::string keyPin =
      "sha256//" + RunCommand("openssl x509 -in '" + Certificates().Path("leaf.pem") +
                              "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64");

  std::vector<TunnelCase> cases = {
      {"Direct", 0, nullptr, nullptr, "127.0.0.1", echo.Port(), false},
      {"Sock4 danted", 1, &danted, nullptr, "127.0.0.1", echo.Port(), false},
      {"Sock4A ssh", 2, &ssh, nullptr, "localhost", echo.Port(), false},
      {"Sock5 microsocks", 3, &microsocks, nullptr, "localhost", echo.Port(), false},
      {"Http tinyproxy", 4, &tiny1, nullptr, "127.0.0.1", echo.Port(), false},
      {"Sock+Sock ssh danted", 5, &ssh, &danted, "127.0.0.1", echo.Port(), false},
      {"Sock+Http ssh tinyproxy", 6, &ssh, &tiny1, "localhost", echo.Port(), false},
      {"Http+Http tinyproxy tinyproxy", 7, &tiny1, &tiny2, "127.0.0.1", echo.Port(), false},
      {"TLS by name", 0, nullptr, nullptr, "localhost", tls.Port(), true},
      {"TLS through Sock5", 3, &microsocks, nullptr, "127.0.0.1", tls.Port(), true},
  };
  std::string ini = "[Options]\r\nAutostartDelay=0\r\n\r\n";
  for (size_t i = 0; i < cases.size(); ++i) {
    TunnelCase& c = cases[i];
    c.mapped = FreePort();
    ini += "[Tunnel:" + std::to_string(i) + "]\r\nServer=" + c.server + "\r\nPort=" + std::to_string(c.port) +
           "\r\nMapped=" + std::to_string(c.mapped) + "\r\nLocalAccess=1\r\nAutostart=1\r\nTunnelCaption=" +
           c.caption + "\r\nProxyType=" + std::to_string(c.proxyType) + "\r\n";
    if (c.first) ini += "ProxyHost=127.0.0.1\r\nProxyPort=" + std::to_string(c.first->Port()) + "\r\n";
    if (c.second) ini += "ProxyHost2=127.0.0.1\r\nProxyPort2=" + std::to_string(c.second->Port()) + "\r\n";
    if (c.tls) ini += "SSLHost=1\r\nSSLVerifyChain=0\r\nSSLPinnedKeys=" + keyPin + "\r\n";
    ini += "\r\n";
  }
  DataDir data;
  if (data.Path().empty()) GTEST_SKIP() << "no directory outside /tmp and /var/tmp for the settings (HOME is not set)";
  { std::ofstream(data.Path() + "/sorvik.ini", std::ios::binary) << ini; }
  // The program, where the unit's private /tmp does not hide it.
  std::string why;
  const std::string program = ReachableBy(TRunner::kPrivateTmp, SORVIK_EXECUTABLE, why);
  if (program.empty()) GTEST_SKIP() << why;

  ChildProcess sorvik({UNIT_SANDBOX, SORVIK_UNIT_FILE, "--", program, "--headless", "--data-dir", data.Path()});
  ASSERT_TRUE(sorvik.Started());
  for (const TunnelCase& c : cases) {
    ASSERT_TRUE(sorvik.WaitForPort(c.mapped, 60000)) << c.caption << "\n" << sorvik.Stderr() << sorvik.Stdout();
  }
  // The program itself runs restricted: no new privileges, a seccomp filter.
  EXPECT_EQ(ReadProcStatus(sorvik.Pid(), "NoNewPrivs"), "1");
  EXPECT_EQ(ReadProcStatus(sorvik.Pid(), "Seccomp"), "2");
  const std::string err = sorvik.Stderr();
  EXPECT_NE(err.find("unit_sandbox: applied: "), std::string::npos) << err;
  EXPECT_EQ(err.find("NOT applied"), std::string::npos) << err;

  for (size_t i = 0; i < cases.size(); ++i) {
    const TunnelCase& c = cases[i];
    SCOPED_TRACE(c.caption);
    BlockingClient client(c.mapped);
    ASSERT_TRUE(client.Connected());
    const std::string data = RandomBytes(64 * 1024, static_cast<uint32_t>(i + 1));
    ASSERT_TRUE(client.SendAll(data, 30000));
    EXPECT_TRUE(client.RecvExact(data.size(), 30000) == data) << sorvik.Stdout();
  }
  const int status = sorvik.Stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << sorvik.Stderr();
  // Nothing was refused along the way.
  EXPECT_EQ(sorvik.Stdout().find("ERR >"), std::string::npos) << sorvik.Stdout();
}

// The same settings around a probe: the socket families, writable and
// executable memory, a personality change, /tmp, /usr and the umask are as
// the unit says.
TEST(UnitSandbox, TheRestrictionsAreInForce) {
  REQUIRE_USER_NAMESPACES();
  if (!ProgramAvailable("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string probe = R"PY(
import ctypes, errno, mmap, os, socket
r = []
def sock(name, family, kind):
    try:
        socket.socket(family, kind).close(); r.append(name + ':ok')
    except OSError as e:
        r.append(name + ':' + errno.errorcode[e.errno])
sock('packet', socket.AF_PACKET, socket.SOCK_RAW)
sock('inet', socket.AF_INET, socket.SOCK_STREAM)
sock('inet6', socket.AF_INET6, socket.SOCK_STREAM)
sock('unix', socket.AF_UNIX, socket.SOCK_STREAM)
sock('netlink', socket.AF_NETLINK, socket.SOCK_RAW)
try:
    mmap.mmap(-1, 4096, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC); r.append('wx:ok')
except OSError as e:
    r.append('wx:' + errno.errorcode[e.errno])
libc = ctypes.CDLL(None, use_errno=True)
r.append('personality:' + ('ok' if libc.personality(0x0008) != -1 else errno.errorcode[ctypes.get_errno()]))
r.append('tmp:' + ','.join(sorted(os.listdir('/tmp'))))
try:
    open('/usr/sorvik-probe', 'w'); r.append('usr:ok')
except OSError as e:
    r.append('usr:' + errno.errorcode[e.errno])
r.append('umask:%o' % os.umask(0))
print(' '.join(r))
)PY";
  // From /: the child's own directory lies in the /tmp that the unit hides.
  ChildProcess python({UNIT_SANDBOX, SORVIK_UNIT_FILE, "--", "env", "-C", "/", "python3", "-c", probe});
  ASSERT_TRUE(python.Started());
  ASSERT_TRUE(WaitUntil([&] { return !python.Running(); }, 60000));
  EXPECT_EQ(python.Stdout(),
            "packet:EAFNOSUPPORT inet:ok inet6:ok unix:ok netlink:EAFNOSUPPORT wx:EPERM personality:EPERM tmp: usr:EROFS "
            "umask:77\n")
      << python.Stderr();
}

}  // namespace
}  // namespace sorvik::test
