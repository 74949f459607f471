// The remote list, the failover order and keepalive texts as a tunnel's
// settings hold them, and the order the connections of a tunnel try the
// remotes in.
#include "tunnel/remotes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tunnel/tunnel_settings.h"

namespace sorvik {
namespace {

TEST(MoreServers, ReadsEveryFormAndRefusesWhatIsNotHostPort) {
  struct Case {
    const char* text;
    std::vector<TRemote> remotes;
    const char* problem;
  };
  const Case cases[] = {
      {"", {}, ""},
      {"  \t ", {}, ""},
      {"news2.example.org:563", {{"news2.example.org", 563}}, ""},
      {" a:1\t[2001:db8::1]:563  10.0.0.7:65535 ", {{"a", 1}, {"2001:db8::1", 563}, {"10.0.0.7", 65535}}, ""},
      {"a", {}, "MoreServers: \"a\" has no port (host:port)"},
      {"a:", {}, "MoreServers: \"a:\" has a port that is not a number from 1 to 65535"},
      {"a:0", {}, "MoreServers: \"a:0\" has a port that is not a number from 1 to 65535"},
      {"a:+5", {}, "MoreServers: \"a:+5\" has a port that is not a number from 1 to 65535"},
      {"a:65536", {}, "MoreServers: \"a:65536\" has a port that is not a number from 1 to 65535"},
      {":5", {}, "MoreServers: \":5\" has no host"},
      {"::1:5", {}, "MoreServers: \"::1:5\" is not host:port (an IPv6 address goes in brackets: [2001:db8::1]:563)"},
      {"[::1:5", {}, "MoreServers: \"[::1:5\" has no closing \"]\""},
      {"[news]:5", {}, "MoreServers: \"[news]:5\" holds no IPv6 address in its brackets"},
      {"[::1]5", {}, "MoreServers: \"[::1]5\" has no port ([IPv6 address]:port)"},
      {"ok:1 a]b:2", {}, "MoreServers: \"a]b:2\" is not host:port"},
      {"a\x01:2", {}, "MoreServers: \"a?:2\" holds a control character"},
      {"a:1,b:2", {}, "MoreServers: \"a:1,b:2\" holds a comma (entries are separated by spaces: a:563 b:563)"},
      {"a,b:2", {}, "MoreServers: \"a,b:2\" holds a comma (entries are separated by spaces: a:563 b:563)"},
      {"a:1, b:2", {}, "MoreServers: \"a:1,\" holds a comma (entries are separated by spaces: a:563 b:563)"},
      {"[::1]:5,", {}, "MoreServers: \"[::1]:5,\" holds a comma (entries are separated by spaces: a:563 b:563)"},
  };
  for (const Case& c : cases) {
    const TRemoteList list = ParseMoreServers(c.text);
    EXPECT_EQ(list.Remotes, c.remotes) << c.text;
    EXPECT_EQ(list.Problem, c.problem) << c.text;
  }
  EXPECT_EQ(RemoteText({"2001:db8::1", 563}), "[2001:db8::1]:563");
  EXPECT_EQ(RemoteText({"news", 119}), "news:119");
}

TEST(KeepAliveText, OffOneNumberOrThreeInRange) {
  struct Case {
    const char* text;
    TKeepAlive value;
    bool ok;
  };
  const Case cases[] = {
      {"", {}, true},
      {"0", {}, true},
      {" 0 ", {}, true},
      {"60", {60, 10, 5}, true},
      {"60,10,5", {60, 10, 5}, true},
      {"1, 1, 1", {1, 1, 1}, true},
      {"32767,32767,127", {32767, 32767, 127}, true},
      {"60,10", {}, false},
      {"60,10,5,1", {}, false},
      {"a", {}, false},
      {"-1", {}, false},
      {"0,10,5", {}, false},
      {"60,0,5", {}, false},
      {"60,10,128", {}, false},
      {"32768", {}, false},
      {"9999999999", {}, false},
  };
  for (const Case& c : cases) {
    const TKeepAliveValue k = ParseKeepAlive(c.text);
    EXPECT_EQ(k.Problem.empty(), c.ok) << c.text << ": " << k.Problem;
    if (c.ok) {
      EXPECT_EQ(k.Value, c.value) << c.text;
    }
  }
  EXPECT_EQ(TKeepAlive({2, 1, 3}).GiveUpMs(), 5000);
}

TEST(FailoverText, TwoOrdersInAnyLetterCase) {
  EXPECT_EQ(ParseFailover("priority"), TFailoverOrder::Priority);
  EXPECT_EQ(ParseFailover("RoundRobin"), TFailoverOrder::RoundRobin);
  EXPECT_EQ(ParseFailover(""), std::nullopt);
  EXPECT_EQ(ParseFailover("rr"), std::nullopt);
}

TEST(TunnelRemotes, ServerFirstThenMoreServers) {
  TunnelSettings s;
  s.Server = "news1";
  s.Port = 563 + 65536;  // the low 16 bits, as a start takes them
  s.MoreServers = "news2:563 [::1]:119";
  EXPECT_EQ(TunnelRemotes(s), (std::vector<TRemote>{{"news1", 563}, {"news2", 563}, {"::1", 119}}));
  s.MoreServers = "broken";
  EXPECT_EQ(TunnelRemotes(s), (std::vector<TRemote>{{"news1", 563}}));
  EXPECT_NE(FailoverSettingsProblem(s), "");
}

std::chrono::steady_clock::time_point g_now;
std::chrono::steady_clock::time_point TestNow() { return g_now; }

TEST(FailoverOrder, PriorityTriesAFailedRemoteLastUntilItsSkipHasPassed) {
  TFailoverState state({{"a", 1}, {"b", 2}, {"c", 3}}, TFailoverOrder::Priority);
  state.SetClockForTest(&TestNow);
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{0, 1, 2}));
  state.Failed(0, "Connection refused.");
  state.Worked(1);
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{1, 2, 0}));
  g_now += TFailoverState::kSkipFailed - std::chrono::seconds(1);
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{1, 2, 0}));
  g_now += std::chrono::seconds(1);
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{0, 1, 2}));
  state.Worked(0);
  const auto states = state.States();
  EXPECT_EQ(states[0].State, TFailoverState::TState::Up);
  EXPECT_EQ(states[0].LastError, "Connection refused.");
  EXPECT_EQ(states[1].Connections, 1);
  EXPECT_EQ(states[2].State, TFailoverState::TState::Untried);
}

TEST(FailoverOrder, RoundRobinStartsEachConnectionOneFurtherAndTriesAFailedRemoteLast) {
  TFailoverState state({{"a", 1}, {"b", 2}, {"c", 3}}, TFailoverOrder::RoundRobin);
  state.SetClockForTest(&TestNow);
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{1, 2, 0}));
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{2, 0, 1}));
  state.Failed(1, "Connection refused.");
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{0, 2, 1}));
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{2, 0, 1}));
  g_now += TFailoverState::kSkipFailed;
  EXPECT_EQ(state.NextOrder(), (std::vector<size_t>{2, 0, 1}));
}

}  // namespace
}  // namespace sorvik
