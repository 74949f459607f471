// The live table of the connections window, without a display: rows from
// snapshots, rates between two snapshots, the cell texts, and the table fed by
// a real running tunnel after a transfer of known size.
#include "app/core/connection_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/net_fixtures.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {
namespace {

TConnectionStat Stat(uint64_t id, uint64_t up, uint64_t down, int64_t age = 0, std::string remote = "10.0.0.1:119") {
  TConnectionStat s;
  s.Id = id;
  s.Client = "127.0.0.1:" + std::to_string(40000 + id);
  s.Remote = std::move(remote);
  s.AgeMs = age;
  s.BytesToRemote = up;
  s.BytesToLocal = down;
  return s;
}

TEST(ConnectionTable, RatesFollowTheGrowthBetweenSnapshots) {
  TConnectionTable table;
  table.Update({Stat(1, 100, 1000), Stat(2, 0, 0, 0, "")}, 10000);
  ASSERT_EQ(table.Rows().size(), 2u);
  EXPECT_EQ(table.Rows()[0].RateToServer, 0);  // seen for the first time
  EXPECT_EQ(table.Cell(1, TConnectionTable::kColRemote), "(connecting)");

  // Half a second later: 1 goes on (+512 up, +1 MiB down), 2 has gone, 3 is new.
  table.Update({Stat(1, 612, 1000 + 1048576, 2500), Stat(3, 7, 7)}, 10500);
  // 2 has closed: it stays, after the open ones, with its last figures.
  ASSERT_EQ(table.Rows().size(), 3u);
  EXPECT_EQ(table.Rows()[2].Id, 2u);
  EXPECT_TRUE(table.Rows()[2].Closed);
  EXPECT_FALSE(table.Rows()[0].Closed);
  EXPECT_EQ(table.Cell(2, TConnectionTable::kColRate), "closed");
  EXPECT_EQ(table.OpenCount(), 2);
  EXPECT_EQ(table.CountText(), "Now: 2 open, 1 closed since the window opened");
  const TConnectionRow& one = table.Rows()[0];
  EXPECT_EQ(one.Id, 1u);
  EXPECT_DOUBLE_EQ(one.RateToServer, 1024);
  EXPECT_DOUBLE_EQ(one.RateFromServer, 2097152);
  EXPECT_EQ(table.Rows()[1].Id, 3u);
  EXPECT_EQ(table.Rows()[1].RateFromServer, 0);

  const struct {
    int column;
    const char* header;
    const char* cell;  // of row 0
  } cells[] = {
      {TConnectionTable::kColClient, "Local client", "127.0.0.1:40001"},
      {TConnectionTable::kColRemote, "Remote end", "10.0.0.1:119"},
      {TConnectionTable::kColAge, "Age", "0:00:02"},
      {TConnectionTable::kColToServer, "Bytes to server", "612 B"},
      {TConnectionTable::kColFromServer, "Bytes from server", "1.0 MiB"},
      {TConnectionTable::kColRate, "Rate to / from server", "1.0 KiB/s / 2.0 MiB/s"},
  };
  for (const auto& c : cells) {
    EXPECT_EQ(TConnectionTable::Header(c.column), c.header);
    EXPECT_EQ(table.Cell(0, c.column), c.cell) << c.header;
  }
  EXPECT_EQ(table.Cell(3, 0), "");
  // A closed connection is not listed again once a later snapshot has it
  // open (it cannot be: ids are never reused) and a new one adds a row.
  table.Update({Stat(1, 612, 1000 + 1048576, 3500)}, 11500);
  EXPECT_EQ(table.CountText(), "Now: 1 open, 2 closed since the window opened");
  EXPECT_EQ(table.Rows()[0].RateFromServer, 0);  // no growth in that second
  EXPECT_EQ(table.Cell(0, TConnectionTable::kColumnCount), "");
}

// A window left open on a busy tunnel keeps the most recently closed rows
// only, and still counts every connection that closed.
TEST(ConnectionTable, ClosedRowsAreCappedNewestFirstAndAllCounted) {
  TConnectionTable table;
  const int total = TConnectionTable::kMaxClosedRows + 250;
  // One connection open at a time, each replaced by the next.
  for (int i = 1; i <= total + 1; ++i) table.Update({Stat(static_cast<uint64_t>(i), 1, 1)}, 1000L * i);
  ASSERT_EQ(table.Rows().size(), static_cast<size_t>(TConnectionTable::kMaxClosedRows) + 1);
  EXPECT_EQ(table.Rows()[0].Id, static_cast<uint64_t>(total + 1));
  EXPECT_FALSE(table.Rows()[0].Closed);
  EXPECT_EQ(table.Rows()[1].Id, static_cast<uint64_t>(total));  // closed last
  EXPECT_EQ(table.Rows().back().Id, static_cast<uint64_t>(total - TConnectionTable::kMaxClosedRows + 1));
  EXPECT_EQ(table.ClosedCount(), total);
  EXPECT_EQ(table.CountText(), "Now: 1 open, " + std::to_string(total) + " closed since the window opened");
}

TEST(ConnectionTable, TextForms) {
  EXPECT_EQ(TConnectionTable::AgeText(0), "0:00:00");
  EXPECT_EQ(TConnectionTable::AgeText(3723999), "1:02:03");
  EXPECT_EQ(TConnectionTable::AgeText(100LL * 3600 * 1000), "100:00:00");
  EXPECT_EQ(TConnectionTable::RateText(0), "0 B/s");
  EXPECT_EQ(TConnectionTable::RateText(512), "512 B/s");
  EXPECT_EQ(TConnectionTable::RateText(1536), "1.5 KiB/s");
  EXPECT_EQ(TConnectionTable::RateText(12.0 * 1048576), "12.0 MiB/s");
  EXPECT_EQ(TConnectionTable::RateText(1.5 * 1073741824.0), "1.5 GiB/s");
  EXPECT_EQ(TConnectionTable::BytesText(0), "0 B");
  EXPECT_EQ(TConnectionTable::BytesText(1023), "1023 B");
  EXPECT_EQ(TConnectionTable::BytesText(1536), "1.5 KiB");
  EXPECT_EQ(TConnectionTable::BytesText(20u << 20), "20.0 MiB");
  EXPECT_EQ(TConnectionTable::BytesText(3ull << 30), "3.0 GiB");
}

// Fed by a running tunnel: the byte columns are exact after a transfer of
// known size each way.
TEST(ConnectionTable, FromARunningTunnel) {
  test::FakePeer peer({test::PeerStep::Expect(300000), test::PeerStep::Send(std::string(123457, 'x')),
                       test::PeerStep::NeverAnswer()});
  TKestruneItem tunnel;
  tunnel.Settings.Server = "127.0.0.1";
  tunnel.Settings.Port = peer.Port();
  tunnel.Settings.Mapped = test::FreePort();
  ASSERT_TRUE(tunnel.Start());
  test::BlockingClient client(static_cast<uint16_t>(tunnel.Settings.Mapped));
  ASSERT_TRUE(client.SendAll(std::string(300000, 'u')));
  ASSERT_EQ(client.RecvExact(123457).size(), 123457u);
  TConnectionTable table;
  ASSERT_TRUE(test::WaitUntil([&] {
    table.Update(tunnel.ConnectionStats(), 0);
    return table.Rows().size() == 1 && table.Rows()[0].BytesFromServer == 123457;
  }));
  EXPECT_EQ(table.Rows()[0].BytesToServer, 300000u);
  EXPECT_EQ(table.Cell(0, TConnectionTable::kColFromServer), "120.6 KiB");
  EXPECT_EQ(table.Cell(0, TConnectionTable::kColToServer), "293.0 KiB");
  EXPECT_EQ(table.Cell(0, TConnectionTable::kColClient), "127.0.0.1:" + std::to_string(client.LocalPort()));
  EXPECT_EQ(table.Cell(0, TConnectionTable::kColRemote), "127.0.0.1:" + std::to_string(peer.Port()));
  tunnel.DetachEvents();
  tunnel.Stop();
}

}  // namespace
}  // namespace sorvik
