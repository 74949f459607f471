// Line formats of tunnel events and of the connection report, the status
// classification and the delivery token.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "net/component.h"
#include "net/io_handler.h"
#include "tunnel/connection_report.h"
#include "tunnel/event_delivery.h"
#include "tunnel/events.h"

namespace sorvik {
namespace {

struct LineCase {
  const char* name;
  int32_t code;
  int hop;
  const char* text;
  const char* expected;
};

class StatusLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(StatusLineTest, Formats) {
  const LineCase& c = GetParam();
  EXPECT_EQ(FormatStatusLine(c.code, "12:34:56", c.hop, c.text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatusLineTest,
    ::testing::Values(LineCase{"PlainResolving", 6, 0, "Resolving hostname news.example.", "12:34:56 > 0 - Resolving hostname news.example."},
                      LineCase{"Socks", 7, 2, "Connecting to 10.0.0.1.", "12:34:56 > 2 - Connecting to 10.0.0.1."},
                      LineCase{"Http", 8, 1, "Disconnected.", "12:34:56 > 1 - Disconnected."},
                      LineCase{"Tls", 9, 1, "Connecting to ::1.", "12:34:56 >SSL 1 - Connecting to ::1."},
                      LineCase{"EmptyText", 6, 0, "", "12:34:56 > 0 - "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorLineTest, MessageKeptAsIsEmptyEndsAfterSeparator) {
  EXPECT_EQ(FormatErrorLine("01:02:03", "Socket Error # 111\r\nConnection refused."),
            "01:02:03 ERR > Socket Error # 111\r\nConnection refused.");
  EXPECT_EQ(FormatErrorLine("01:02:03", ""), "01:02:03 ERR > ");
}

TEST(PlainLinesTest, EveryCrLfBecomesLfAndNothingElseChanges) {
  const std::pair<std::string, std::string> cases[] = {
      {"Socket Error # 111\r\nConnection refused.", "Socket Error # 111\nConnection refused."},
      {"a\r\nb\r\n", "a\nb\n"},
      {"lone\rCR and lone\nLF", "lone\rCR and lone\nLF"},
      {"\r\r\n\n", "\r\n\n"},  // one pass: the CR before a replaced pair stays
      {"", ""},
  };
  for (const auto& [text, plain] : cases) EXPECT_EQ(PlainLines(text), plain);
}

TEST(TimeStampTest, TwoDigitsEachWithColons) {
  std::tm t{};
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(EventTimeStamp(t), "07:05:09");
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(EventTimeStamp(t), "23:59:58");
  EXPECT_TRUE(std::regex_match(EventTimeStamp(), std::regex(R"(\d\d:\d\d:\d\d)")));
}

TEST(StatusClassTest, StackHandlerIsPlainOtherComponentsGiveNoEvent) {
  TIdIOHandlerStack plain;
  TIdComponent other;
  EXPECT_EQ(StatusEventCode(plain), kEventPlainStatus);
  EXPECT_EQ(StatusEventCode(other), 0);
}

TEST(ReportPartsTest, FieldsRightAlignedNeverCut) {
  TIdSocketBinding local;
  local.Handle = 3;
  local.PeerIP = "127.0.0.1";
  local.PeerPort = 40001;
  local.IP = "127.0.0.1";
  local.Port = 119;
  EXPECT_EQ(ReportLocalPart(local), " 127.0.0.1:40001    >>         127.0.0.1:119    -   ");

  TIdSocketBinding out;
  out.Handle = 4;
  out.IP = "127.0.0.1";
  out.Port = 50000;
  out.PeerIP = "127.0.0.1";
  out.PeerPort = 9050;
  EXPECT_EQ(ReportOutboundPart(out), "127.0.0.1:50000   >>       127.0.0.1:9050\r\n");

  out.PeerIP = "2001:db8::1234:5678:9abc";  // longer than 15: printed in full
  EXPECT_EQ(ReportOutboundPart(out), "127.0.0.1:50000   >> 2001:db8::1234:5678:9abc:9050\r\n");
  EXPECT_EQ(RightAlign("", 3), "   ");
  EXPECT_EQ(RightAlign("abcdefghijklmnop", 15), "abcdefghijklmnop");
}

TEST(DeliveryTokenTest, CancelWakesRegisteredOnceAndLateRegistrationAtOnce) {
  auto token = std::make_shared<TDeliveryToken>();
  int woken = 0, forgotten = 0;
  token->OnCancel([&] { ++woken; });
  auto id = token->OnCancel([&] { ++forgotten; });
  token->Unsubscribe(id);
  EXPECT_FALSE(token->Cancelled());
  token->Cancel();
  token->Cancel();
  EXPECT_TRUE(token->Cancelled());
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(forgotten, 0);
  int late = 0;
  token->OnCancel([&] { ++late; });
  EXPECT_EQ(late, 1);
}

TEST(DeliveryTokenTest, ScopeSetsCurrentPerThreadAndNests) {
  auto a = std::make_shared<TDeliveryToken>();
  auto b = std::make_shared<TDeliveryToken>();
  EXPECT_EQ(TDeliveryToken::Current(), nullptr);
  {
    TDeliveryToken::Scope sa(a);
    EXPECT_EQ(TDeliveryToken::Current(), a);
    {
      TDeliveryToken::Scope sb(b);
      EXPECT_EQ(TDeliveryToken::Current(), b);
      std::thread([] { EXPECT_EQ(TDeliveryToken::Current(), nullptr); }).join();
    }
    EXPECT_EQ(TDeliveryToken::Current(), a);
  }
  EXPECT_EQ(TDeliveryToken::Current(), nullptr);
}

TEST(DeliveryTokenTest, CancelFromAnotherThreadWakesWaiter) {
  auto token = std::make_shared<TDeliveryToken>();
  std::mutex m;
  std::condition_variable cv;
  bool woke = false;
  token->OnCancel([&] {
    std::lock_guard<std::mutex> l(m);
    woke = true;
    cv.notify_all();
  });
  std::thread t([&] { token->Cancel(); });
  {
    std::unique_lock<std::mutex> l(m);
    EXPECT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return woke; }));
  }
  t.join();
}

}  // namespace
}  // namespace sorvik
