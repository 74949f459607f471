// The table that `sorvik status` prints: its columns line up on a terminal
// whatever letters the captions hold.
#include "app/control/control_answer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace sorvik {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each caption with the columns a terminal gives it: the next column starts
// at the same place on every line.
TEST(StatusTable, CaptionsArePaddedByTheirWidthOnScreen) {
  struct Case {
    const char* caption;
    size_t columns;
  };
  const Case cases[] = {
      {"news", 4},
      {"Z\xC3\xBCrich", 6},              // ü: two bytes, one column
      {"\xE6\x9D\xB1\xE4\xBA\xAC", 4},   // 東京: three bytes each, two columns each
      {"e\xCC\x81t\xC3\xA9 long", 8},    // a combining accent takes no column
  };
  std::vector<TTunnelStatus> rows;
  for (const Case& c : cases) {
    TTunnelStatus r;
    r.Caption = c.caption;
    r.State = "stopped";
    r.Local = "127.0.0.1:8081";
    r.Remote = "news.example.org:563";
    rows.push_back(r);
  }
  const std::vector<std::string> lines = Lines(FormatStatusTable(rows));
  ASSERT_EQ(lines.size(), rows.size() + 1);
  const size_t captionColumns = 8;  // the widest caption; "CAPTION" is 7
  EXPECT_EQ(lines[0].rfind("#  CAPTION" + std::string(captionColumns - 7, ' ') + "  STATE", 0), 0u) << lines[0];
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(cases[i].caption);
    const std::string expected = std::to_string(i + 1) + "  " + cases[i].caption + std::string(captionColumns - cases[i].columns, ' ') +
                                 "  stopped  127.0.0.1:8081";
    EXPECT_EQ(lines[i + 1].rfind(expected, 0), 0u) << lines[i + 1];
  }
}

// `status --json` lists every remote of a tunnel with its state and last error.
TEST(StatusJson, EveryRemoteWithItsStateAndLastError) {
  TTunnelStatus r;
  r.Caption = "news";
  r.State = "running";
  r.Local = "127.0.0.1:1119";
  r.Remote = "news1.example.org:563";
  r.Remotes = {{"news1.example.org:563", "failed", "Connection refused.", 0},
               {"[2001:db8::1]:563", "up", "", 3},
               {"news3.example.org:563", "untried", "", 0}};
  EXPECT_EQ(FormatStatusJson({r}),
            "{\"tunnels\": [{\"caption\": \"news\", \"state\": \"running\", \"local\": \"127.0.0.1:1119\", "
            "\"remote\": \"news1.example.org:563\", \"proxies\": [], \"connections\": 0, \"bytes_in\": 0, "
            "\"bytes_out\": 0, \"refused\": 0, \"remotes\": [{\"remote\": \"news1.example.org:563\", \"state\": \"failed\", "
            "\"last_error\": \"Connection refused.\", \"connects\": 0}, {\"remote\": \"[2001:db8::1]:563\", "
            "\"state\": \"up\", \"last_error\": \"\", \"connects\": 3}, {\"remote\": \"news3.example.org:563\", "
            "\"state\": \"untried\", \"last_error\": \"\", \"connects\": 0}]}]}\n");
}

}  // namespace
}  // namespace sorvik
