// Who may use a port: the allow-list's grammar (good entries, and the phrase
// that names each wrong one), its matching with the loopback rule and
// IPv4-mapped clients, the per-address rate table and the gate's burst report.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/access_gate.h"
#include "net/client_access.h"
#include "net/mapped_port_tcp.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

TClientAddress Addr(const char* text) {
  auto a = ParseClientAddress(text);
  EXPECT_TRUE(a) << text;
  return a.value_or(TClientAddress{});
}

struct ProblemCase {
  const char* list;
  std::vector<std::string> problems;  // empty: the list is good
};

const ProblemCase kProblemCases[] = {
    {"", {}},
    {"   ", {}},
    {"192.168.1.0/24 10.0.0.5 ::1", {}},
    {"192.168.1.0/24,10.0.0.5\t fe80::/10", {}},
    {"0.0.0.0/0 ::/0", {}},
    {"10.0.0.1/32 ::1/128 192.168.1.7/24", {}},
    {"010.0.0.1", {}},  // decimal, as everywhere in the program
    {"10.0.0.300", {"\"10.0.0.300\" is not an IPv4 or IPv6 address"}},
    {"10.0.0.0/33", {"\"10.0.0.0/33\": an IPv4 network has 0 to 32 prefix bits"}},
    {"fe80::/129", {"\"fe80::/129\": an IPv6 network has 0 to 128 prefix bits"}},
    {"10.0.0.0/", {"\"10.0.0.0/\": an IPv4 network has 0 to 32 prefix bits"}},
    {"10.0.0.0/2x", {"\"10.0.0.0/2x\": an IPv4 network has 0 to 32 prefix bits"}},
    {"10.0.0.0/-1", {"\"10.0.0.0/-1\": an IPv4 network has 0 to 32 prefix bits"}},
    {"10.0.0.0/0024", {"\"10.0.0.0/0024\": an IPv4 network has 0 to 32 prefix bits"}},
    {"192.168.1.60/20.0ppppp.5", {"\"192.168.1.60/20.0ppppp.5\": an IPv4 network has 0 to 32 prefix bits"}},
    {"10.0.0.0/99999999999999999999", {"\"10.0.0.0/99999999999999999999\": an IPv4 network has 0 to 32 prefix bits"}},
    {"localhost", {"\"localhost\" is not an IPv4 or IPv6 address"}},
    {"host.example/24", {"\"host.example/24\" is not an IPv4 or IPv6 address or network"}},
    {"[::1]", {"\"[::1]\" is not an IPv4 or IPv6 address"}},
    {"10.0.0.1 bad 10.0.0.0/40 ::1",
     {"\"bad\" is not an IPv4 or IPv6 address", "\"10.0.0.0/40\": an IPv4 network has 0 to 32 prefix bits"}},
    {"a\x01z", {"\"a?z\" is not an IPv4 or IPv6 address"}},
};

TEST(AllowList, GrammarNamesEachWrongEntry) {
  for (const ProblemCase& c : kProblemCases) {
    SCOPED_TRACE(std::string("\"") + c.list + "\"");
    EXPECT_EQ(TAllowList::Problems(c.list), c.problems);
    EXPECT_EQ(TAllowList::Parse(c.list).has_value(), c.problems.empty());
  }
}

struct MatchCase {
  const char* list;
  const char* client;
  bool allowed;
};

const MatchCase kMatchCases[] = {
    // No list: everyone.
    {"", "203.0.113.9", true},
    {"", "2001:db8::1", true},
    {"192.168.1.0/24", "192.168.1.0", true},
    {"192.168.1.0/24", "192.168.1.255", true},
    {"192.168.1.0/24", "192.168.2.0", false},
    {"192.168.1.0/24", "192.168.0.255", false},
    {"192.168.1.7/24", "192.168.1.200", true},  // host bits: the network
    {"10.0.0.5", "10.0.0.5", true},
    {"10.0.0.5", "10.0.0.6", false},
    // An IPv4 client reached over IPv6 is the IPv4 client.
    {"10.0.0.5", "::ffff:10.0.0.5", true},
    {"192.168.1.0/24", "::ffff:192.168.1.20", true},
    {"::ffff:10.0.0.0/104", "10.1.2.3", true},
    // IPv6.
    {"fe80::/10", "fe80::1", true},
    {"fe80::/10", "febf:ffff::1", true},
    {"fe80::/10", "fec0::1", false},
    {"2001:db8::/32", "10.0.0.1", false},
    {"0.0.0.0/0", "255.255.255.255", true},
    {"0.0.0.0/0", "2001:db8::1", false},
    {"::/0", "2001:db8::1", true},
    {"::/0", "10.0.0.1", true},  // mapped addresses are part of ::/0
    // Loopback: allowed beside a list that names none ...
    {"192.168.1.0/24", "127.0.0.1", true},
    {"192.168.1.0/24", "127.5.6.7", true},
    {"192.168.1.0/24", "::1", true},
    {"192.168.1.0/24", "::ffff:127.0.0.1", true},
    // ... and exactly what the list names when it names one.
    {"127.0.0.2", "127.0.0.1", false},
    {"127.0.0.2", "127.0.0.2", true},
    {"127.0.0.2", "::1", false},
    {"::1", "127.0.0.1", false},
    {"::1", "::1", true},
    {"127.0.0.0/8 192.168.1.0/24", "127.9.9.9", true},
    {"0.0.0.0/0", "127.0.0.1", true},
    {"0.0.0.0/0", "::1", false},  // names loopback (127/8), and ::1 is not in it
    // Overlapping and adjacent entries merge into one range.
    {"10.0.0.0/25 10.0.0.128/25 10.0.0.64/26", "10.0.0.200", true},
    {"10.0.0.0/25 10.0.0.128/25", "10.0.1.0", false},
};

TEST(AllowList, MatchesByEntriesAndTheLoopbackRule) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(std::string("\"") + c.list + "\" with " + c.client);
    const auto list = TAllowList::Parse(c.list);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->Allows(Addr(c.client)), c.allowed);
  }
  EXPECT_EQ(TAllowList::Parse("10.0.0.0/25 10.0.0.128/25 10.0.0.64/26")->RangeCount(), 1u);
}

// Whether a list limits IPv4 clients at all (the window marks one that does
// not as open to the network).
TEST(AllowList, AllowsEveryIPv4OnlyWhenNoIPv4ClientIsLeftOut) {
  const struct {
    const char* list;
    bool every;
  } cases[] = {
      {"0.0.0.0/0", true},
      {"::/0", true},
      {"::ffff:0.0.0.0/96", true},
      {"0.0.0.0/1 128.0.0.0/1", true},
      {"10.0.0.1 0.0.0.0/0", true},
      {"0.0.0.0/1", false},
      {"0.0.0.0/1 128.0.0.0/2 192.0.0.0/2", true},
      {"0.0.0.0/1 128.0.0.0/2", false},
      {"::/1", true},  // holds ::ffff:0.0.0.0/96, where IPv4 clients are
      {"2001:db8::/32", false},
      {"192.168.1.0/24", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    const auto list = TAllowList::Parse(c.list);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->AllowsEveryIPv4(), c.every);
  }
}

TEST(AllowList, AddressTextsReadBack) {
  for (const char* text : {"10.0.0.1", "::1", "fe80::1", "2001:db8::ff"}) {
    EXPECT_EQ(ClientAddressText(Addr(text)), text);
  }
  EXPECT_EQ(ClientAddressText(Addr("::ffff:10.0.0.1")), "10.0.0.1");
  EXPECT_TRUE(IsLoopback(Addr("127.255.0.1")));
  EXPECT_FALSE(IsLoopback(Addr("128.0.0.1")));
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "::ffff:192.0.2.1", &in6.sin6_addr);
  EXPECT_EQ(ClientAddressText(*ClientAddressOf(reinterpret_cast<sockaddr*>(&in6))), "192.0.2.1");
  sockaddr un{};
  un.sa_family = AF_UNIX;
  EXPECT_FALSE(ClientAddressOf(&un));
}

TEST(RateTable, BucketPerAddressRefillsWithTime) {
  TRateTable table;
  const auto t0 = std::chrono::steady_clock::now();
  const TClientAddress a = Addr("10.0.0.1"), b = Addr("10.0.0.2");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(table.Admit(a, 3, t0)) << i;
  EXPECT_FALSE(table.Admit(a, 3, t0));
  EXPECT_TRUE(table.Admit(b, 3, t0));  // another address has its own bucket
  EXPECT_FALSE(table.Admit(a, 3, t0 + std::chrono::milliseconds(100)));
  EXPECT_TRUE(table.Admit(a, 3, t0 + std::chrono::milliseconds(400)));  // 1.2 tokens back
  EXPECT_FALSE(table.Admit(a, 3, t0 + std::chrono::milliseconds(400)));
  EXPECT_TRUE(table.Admit(a, 0, t0));  // no cap
}

TEST(RateTable, ManyAddressesStayWithinTheTable) {
  TRateTable table;
  const auto t0 = std::chrono::steady_clock::now();
  // Far more addresses than slots, each once: each is admitted (a new
  // address evicts the one seen least recently), and memory stays bounded.
  for (uint32_t i = 0; i < 4 * TRateTable::kSlots; ++i) {
    TClientAddress a = Addr("::ffff:10.0.0.0");
    a[12] = 10;
    a[13] = static_cast<uint8_t>(i >> 16);
    a[14] = static_cast<uint8_t>(i >> 8);
    a[15] = static_cast<uint8_t>(i);
    ASSERT_TRUE(table.Admit(a, 1, t0 + std::chrono::microseconds(i)));
  }
  // An address seen just now is still known: its bucket is empty.
  TClientAddress last = Addr("::ffff:10.0.0.0");
  const uint32_t i = 4 * TRateTable::kSlots - 1;
  last[13] = static_cast<uint8_t>(i >> 16);
  last[14] = static_cast<uint8_t>(i >> 8);
  last[15] = static_cast<uint8_t>(i);
  EXPECT_FALSE(table.Admit(last, 1, t0 + std::chrono::microseconds(i)));
}

sockaddr_in V4(const char* text) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &in.sin_addr);
  return in;
}

TEST(AccessGate, JudgesAndReportsOneLinePerBurst) {
  TAccessGate gate;
  const sockaddr_in in = V4("10.0.0.7"), other = V4("127.0.0.1");
  const auto* peer = reinterpret_cast<const sockaddr*>(&in);
  const auto* local = reinterpret_cast<const sockaddr*>(&other);
  EXPECT_EQ(gate.Judge(peer, 1000), TAccessGate::TVerdict::Allowed);  // no rules
  EXPECT_EQ(gate.Judge(peer, 3, 3), TAccessGate::TVerdict::OverConnections);  // the server's own cap
  auto rules = std::make_shared<TClientAccess>();
  rules->AllowFrom = *TAllowList::Parse("192.168.1.0/24");
  rules->MaxConnections = 2;
  gate.SetRules(rules);
  EXPECT_EQ(gate.Judge(peer, 0), TAccessGate::TVerdict::NotAllowed);
  EXPECT_EQ(gate.Judge(local, 1), TAccessGate::TVerdict::Allowed);
  EXPECT_EQ(gate.Judge(local, 2), TAccessGate::TVerdict::OverConnections);

  const auto now = std::chrono::steady_clock::now();
  EXPECT_TRUE(gate.Refused(TAccessGate::TVerdict::NotAllowed, peer));  // the first of a burst: at once
  EXPECT_EQ(gate.TakeReport(now), "Refused 1 connection: 1 not in AllowFrom; from 10.0.0.7 (1).");
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(gate.Refused(TAccessGate::TVerdict::NotAllowed, peer));
  EXPECT_FALSE(gate.Refused(TAccessGate::TVerdict::OverConnections, local));
  EXPECT_TRUE(gate.ReportPending());
  EXPECT_EQ(gate.TakeReport(now + std::chrono::milliseconds(10)), std::nullopt);  // within the second
  EXPECT_EQ(gate.TakeReport(now + std::chrono::milliseconds(1000)),
            "Refused 501 connections: 500 not in AllowFrom, 1 over MaxConnections; from 10.0.0.7 (500), "
            "127.0.0.1 (1).");
  EXPECT_FALSE(gate.ReportPending());
  EXPECT_EQ(gate.RefusedCount(), 502u);

  // More addresses than a line shows.
  for (int i = 1; i <= 10; ++i) {
    const sockaddr_in from = V4(("10.1.0." + std::to_string(i)).c_str());
    gate.Refused(TAccessGate::TVerdict::OverRate, reinterpret_cast<const sockaddr*>(&from));
  }
  const auto line = gate.TakeReport(now + std::chrono::milliseconds(2000));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("Refused 10 connections: 10 over MaxConnectionRate; from 10.1.0.1 (1), ", 0), 0u) << *line;
  EXPECT_NE(line->find("10.1.0.8 (1) and 2 more from other addresses."), std::string::npos) << *line;
}

// The server's check: a refused client is reset at once (no orderly close,
// no hook of the server sees it), the refusal is counted and reported in one
// line; an allowed one is served; the rules swap while the server runs.
TEST(AccessGateServer, RefusedConnectionIsResetBeforeAnyHook) {
  test::EchoServer echo;
  TIdMappedPortTCP server;
  server.Bindings.push_back({"127.0.0.1", 0, Id_IPv4});
  server.MappedHost = "127.0.0.1";
  server.MappedPort = echo.Port();
  std::atomic<int> connects{0};
  std::mutex linesMutex;
  std::vector<std::string> lines;
  server.SetOnConnect([&](TIdMappedPortContext&) { ++connects; });
  server.SetOnException([&](TIdMappedPortContext&, const std::exception& e) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back(e.what());
  });
  auto rules = std::make_shared<TClientAccess>();
  rules->AllowFrom = *TAllowList::Parse("127.0.0.2");
  server.Access.SetRules(rules);
  server.SetActive(true);
  const uint16_t port = server.BoundPort();

  // A reset, not an end of stream: the client's read fails.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int error = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
  } else {
    char c;
    if (::recv(fd, &c, 1, 0) < 0) error = errno;
  }
  ::close(fd);
  EXPECT_EQ(error, ECONNRESET);
  EXPECT_TRUE(test::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(linesMutex);
    return !lines.empty();
  }, 5000));
  {
    std::lock_guard<std::mutex> lock(linesMutex);
    EXPECT_EQ(lines, std::vector<std::string>{"Refused 1 connection: 1 not in AllowFrom; from 127.0.0.1 (1)."});
  }
  EXPECT_EQ(server.Access.RefusedCount(), 1u);
  {
    test::BlockingClient allowed(port, "127.0.0.1", 5000, "127.0.0.2");
    EXPECT_TRUE(allowed.SendAll("ok") && allowed.RecvExact(2) == "ok");
  }
  EXPECT_EQ(connects.load(), 1);
  EXPECT_EQ(echo.Accepted(), 1);
  // Swapped while active: the next connection is judged by the new rules.
  auto open = std::make_shared<TClientAccess>();
  server.Access.SetRules(open);
  {
    test::BlockingClient now(port);
    EXPECT_TRUE(now.SendAll("ok") && now.RecvExact(2) == "ok");
  }
  server.SetActive(false);
  EXPECT_EQ(server.Access.RefusedCount(), 1u);
}

}  // namespace
}  // namespace sorvik
