// The tunnel section and its key table, the chain proxies, section "Options",
// the numbering rule, the data directory, and the whole-file load and save.
#include "app/settings/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "app/settings/ini_file.h"
#include "app/settings/tunnel_section.h"
#include "support/net_fixtures.h"
#include "tunnel/endpoint_check.h"
#include "tunnel/proxy_type.h"

namespace sorvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TIniFile Parse(const std::string& text) {
  TIniFile ini;
  ini.LoadFromBytes(text);
  return ini;
}

TSettings ReadFrom(const std::string& text) {
  TSettings s;
  ReadSettings(Parse(text), s);
  return s;
}

// ---------------------------------------------------------------------------
// The record

struct ProxyTypeCase {
  int value;
  const char* name;
  const char* label;
};

class ProxyTypeText : public ::testing::TestWithParam<ProxyTypeCase> {};

TEST_P(ProxyTypeText, NameAndLabel) {
  const auto& c = GetParam();
  EXPECT_EQ(ProxyTypeName(ProxyTypeOfNumber(c.value)), c.name);
  EXPECT_EQ(ProxyTypeLabel(ProxyTypeOfNumber(c.value)), c.label);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProxyTypeText,
    ::testing::Values(ProxyTypeCase{0, "None", "No proxy"}, ProxyTypeCase{1, "Sock 4", "Sock4"},
                      ProxyTypeCase{2, "Sock 4A", "Sock4A (Tor)"}, ProxyTypeCase{3, "Sock 5", "Sock5"},
                      ProxyTypeCase{4, "HTTP", "HTTP"}, ProxyTypeCase{5, "Sock + Sock", "Sock + Sock"},
                      ProxyTypeCase{6, "Sock + Http", "Sock + Http"}, ProxyTypeCase{7, "Http + Http", "Http + Http"},
                      ProxyTypeCase{8, "", "Http + Http"}, ProxyTypeCase{9, "", "Http + Http"},
                      ProxyTypeCase{255, "", "Http + Http"}));

// ---------------------------------------------------------------------------
// One tunnel section

// The section that a record holding its initial values writes, all 22 keys in order.
const char* const kFreshSection =
    "[Tunnel:3]\r\n"
    "Server=\r\n"
    "Port=119\r\n"
    "Mapped=119\r\n"
    "Autostart=0\r\n"
    "ProxyType=0\r\n"
    "LogServerErrors=1\r\n"
    "LogToServer=1\r\n"
    "LogFromServer=0\r\n"
    "SSLHost=0\r\n"
    "IPv6Host=0\r\n"
    "LocalAccess=1\r\n"
    "SSLFingerprint=\r\n"
    "SSLSubjectHash=\r\n"
    "SSLIssuerHash=\r\n"
    "SSLVerifycert=0\r\n"
    "SSLClientCertificatePath=\r\n"
    "SSLUseClientCertificate=0\r\n"
    "ProxyHost=127.0.0.1\r\n"
    "ProxyPort=9050\r\n"
    "ProxyHost2=\r\n"
    "ProxyPort2=0\r\n"
    "TunnelCaption=\r\n"
    "\r\n";

TEST(TunnelSection, FreshRecordWritesAll22KeysInOrder) {
  const TKestruneItem t;
  TIniFile ini;
  WriteTunnelSection(ini, 3, t.Settings);
  EXPECT_EQ(ini.ToBytes(), kFreshSection);
}

void SetEveryField(TunnelSettings& t) {
  t.SSLFingerprint = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
  t.SSLSubjectHash = "1A2B3C4D";
  t.SSLIssuerHash = "5E6F7A8B";
  t.SSLVerifycert = true;
  t.SSLClientCertificatePath = "/home/u/client cert.pem";
  t.SSLUseClientCertificate = true;
  t.ProxyType = TProxyType::SocksHttp;
  t.LogServerErrors = false;
  t.LogToServer = false;
  t.LogFromServer = true;
  t.ProxyHost = "proxy.example";
  t.ProxyPort = 3128;
  t.ProxyHost2 = "::1";
  t.ProxyPort2 = 8080;
  t.Server = "news.example.org";
  t.Port = 563;
  t.Mapped = 1119;
  t.Autostart = true;
  t.TunnelCaption = "News \xC3\xBC=ber Tor; [secure]";
  t.SSLHost = true;
  t.IPv6Host = true;
  t.LocalAccess = false;
}

// Every persisted field, as text, for comparing two records.
std::vector<std::string> Persisted(const TunnelSettings& t) {
  return {t.SSLFingerprint, t.SSLSubjectHash, t.SSLIssuerHash, std::to_string(t.SSLVerifycert),
          t.SSLClientCertificatePath, std::to_string(t.SSLUseClientCertificate), std::to_string(ProxyTypeNumber(t.ProxyType)),
          std::to_string(t.LogServerErrors), std::to_string(t.LogToServer), std::to_string(t.LogFromServer),
          t.ProxyHost, std::to_string(t.ProxyPort), t.ProxyHost2, std::to_string(t.ProxyPort2), t.Server,
          std::to_string(t.Port), std::to_string(t.Mapped), std::to_string(t.Autostart), t.TunnelCaption,
          std::to_string(t.SSLHost), std::to_string(t.IPv6Host), std::to_string(t.LocalAccess)};
}

TEST(TunnelSection, RoundTripKeepsEveryPersistedField) {
  TunnelSettings written;
  SetEveryField(written);
  TIniFile ini;
  WriteTunnelSection(ini, 0, written);
  TIniFile reread = Parse(ini.ToBytes());

  TunnelSettings read;
  ReadTunnelSection(reread, 0, read);
  EXPECT_EQ(Persisted(read), Persisted(written));
  EXPECT_EQ(read, written);
}

// A value that differs from the row's default when missing.
void SetOtherThanMissing(const TTunnelKey& key, TunnelSettings& s) {
  std::visit(
      [&](const auto& field) {
        using K = std::decay_t<decltype(field)>;
        if constexpr (std::is_same_v<K, TStringKey>) {
          s.*field.Member = std::string(field.Missing) + "-other";
        } else if constexpr (std::is_same_v<K, TBoolKey>) {
          s.*field.Member = !field.Missing;
        } else if constexpr (std::is_same_v<K, TProxyTypeKey>) {
          s.*field.Member = ProxyTypeOfNumber(ProxyTypeNumber(field.Missing) + 1);
        } else {
          s.*field.Member = static_cast<std::decay_t<decltype(s.*field.Member)>>(field.Missing + 1);
        }
      },
      key.Field);
}

// Every row of the key table, the ones added later included: a value other
// than the missing-key default survives writing and reading, under its own key;
// a key that is written only when it differs is absent while it holds that
// default, and a section without it is written back unchanged.
TEST(TunnelSection, EveryKeyOfTheTableRoundTrips) {
  std::set<std::string> names;
  for (const TTunnelKey& key : TunnelKeys()) {
    SCOPED_TRACE(key.Name);
    EXPECT_TRUE(names.insert(key.Name).second) << "duplicate key";
    TunnelSettings written;
    SetOtherThanMissing(key, written);
    TIniFile ini;
    WriteTunnelSection(ini, 0, written);
    EXPECT_TRUE(ini.ValueExists("Tunnel:0", key.Name));
    TunnelSettings read;
    ReadTunnelSection(Parse(ini.ToBytes()), 0, read);
    EXPECT_EQ(read, written);

    if (key.Write == TKeyWrite::UnlessMissing) {
      TunnelSettings missing;
      ReadTunnelSection(Parse("[Tunnel:0]\r\n"), 0, missing);
      TIniFile out;
      WriteTunnelSection(out, 0, missing);
      EXPECT_FALSE(out.ValueExists("Tunnel:0", key.Name));
    }
  }
  // The original keys come first, then the ones written only when they differ.
  bool later = false;
  for (const TTunnelKey& key : TunnelKeys()) {
    if (key.Write == TKeyWrite::UnlessMissing) later = true;
    EXPECT_FALSE(later && key.Write == TKeyWrite::Always) << key.Name;
  }
}

// A stored file as a user has it: loaded and saved without a change, it comes
// back byte for byte.
TEST(TunnelSection, StoredFileIsWrittenBackByteIdentical) {
  const std::string stored =
      "[Options]\r\nMaximized=0\r\nMinimized=0\r\nLeft=10\r\nTop=20\r\nWidth=640\r\nHeight=480\r\n"
      "tnCol1=200\r\ntnCol2=50\r\ntnCol3=50\r\ntnCol4=90\r\ntnCol5=90\r\nLimitLogINT=200\r\nLimitLog=1\r\n"
      "StartToTray=0\r\nAutostartDelay=5000\r\n\r\n"
      "[Tunnel:0]\r\nServer=news.example.org\r\nPort=563\r\nMapped=1119\r\nAutostart=1\r\nProxyType=2\r\n"
      "LogServerErrors=1\r\nLogToServer=0\r\nLogFromServer=0\r\nSSLHost=1\r\nIPv6Host=0\r\nLocalAccess=1\r\n"
      "SSLFingerprint=AA:BB\r\nSSLSubjectHash=0011AABB\r\nSSLIssuerHash=CCDD0022\r\nSSLVerifycert=1\r\n"
      "SSLClientCertificatePath=\r\nSSLUseClientCertificate=0\r\nProxyHost=127.0.0.1\r\nProxyPort=9150\r\n"
      "ProxyHost2=127.0.0.1\r\nProxyPort2=1080\r\nTunnelCaption=News\r\n\r\n"
      "[Proxybase:0]\r\nHost=10.0.0.1\r\nPassword=\r\nPort=1080\r\nUsername=\r\nChProxyType=3\r\n\r\n";
  TSettings settings = ReadFrom(stored);
  TIniFile out;
  WriteSettings(out, settings);
  EXPECT_EQ(out.ToBytes(), stored);
}

TEST(TunnelSection, BlanksAroundStringsAreLost) {
  TunnelSettings written;
  written.TunnelCaption = "  padded caption\t";
  written.Server = " host ";
  TIniFile ini;
  WriteTunnelSection(ini, 0, written);
  TIniFile reread = Parse(ini.ToBytes());
  TunnelSettings read;
  ReadTunnelSection(reread, 0, read);
  EXPECT_EQ(read.TunnelCaption, "padded caption");
  EXPECT_EQ(read.Server, "host");
}

TEST(TunnelSection, SectionWithOnlyServerTakesTheMissingKeyDefaults) {
  TIniFile ini = Parse("[Tunnel:0]\r\nServer=news.example.org\r\n");
  TunnelSettings t;
  ReadTunnelSection(ini, 0, t);
  EXPECT_EQ(t.Server, "news.example.org");
  EXPECT_EQ(t.Port, 119);
  EXPECT_EQ(t.Mapped, 120);
  EXPECT_EQ(t.ProxyType, TProxyType::None);
  EXPECT_TRUE(t.LocalAccess);
  EXPECT_FALSE(t.SSLHost);
  EXPECT_FALSE(t.SSLVerifycert);
  EXPECT_FALSE(t.Autostart);
  EXPECT_FALSE(t.LogServerErrors);
  EXPECT_FALSE(t.LogToServer);
  EXPECT_FALSE(t.LogFromServer);
  EXPECT_EQ(t.ProxyHost, "127.0.0.1");
  EXPECT_EQ(t.ProxyPort, 1080);
  EXPECT_EQ(t.ProxyHost2, "127.0.0.1");
  EXPECT_EQ(t.ProxyPort2, 1080);
  EXPECT_EQ(t.TunnelCaption, "");
}

// The six keys whose missing-key default differs from the record's initial value.
struct DifferingDefault {
  const char* key;
  std::string initial;  // what a fresh record writes
  std::string missing;  // what reading yields without the key
  std::string (*get)(const TunnelSettings&);
};

class TunnelDifferingDefault : public ::testing::TestWithParam<DifferingDefault> {};

TEST_P(TunnelDifferingDefault, WrittenFromRecordReadBackAsDefault) {
  const auto& c = GetParam();
  const TunnelSettings fresh;
  TIniFile ini;
  WriteTunnelSection(ini, 0, fresh);
  EXPECT_EQ(ini.ReadString("Tunnel:0", c.key, "?"), c.initial);

  // The same section with that one key deleted.
  std::string text = ini.ToBytes();
  const std::string line = std::string(c.key) + "=" + c.initial + "\r\n";
  const std::size_t at = text.find("\r\n" + line);
  ASSERT_NE(at, std::string::npos);
  text.erase(at + 2, line.size());
  TIniFile without = Parse(text);
  TunnelSettings read;
  ReadTunnelSection(without, 0, read);
  EXPECT_EQ(c.get(read), c.missing);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, TunnelDifferingDefault,
    ::testing::Values(
        DifferingDefault{"Mapped", "119", "120", [](const TunnelSettings& t) { return std::to_string(t.Mapped); }},
        DifferingDefault{"ProxyPort", "9050", "1080",
                         [](const TunnelSettings& t) { return std::to_string(t.ProxyPort); }},
        DifferingDefault{"LogServerErrors", "1", "0",
                         [](const TunnelSettings& t) { return std::to_string(t.LogServerErrors); }},
        DifferingDefault{"LogToServer", "1", "0",
                         [](const TunnelSettings& t) { return std::to_string(t.LogToServer); }},
        DifferingDefault{"Server", "", "127.0.0.1", [](const TunnelSettings& t) { return t.Server; }},
        DifferingDefault{"ProxyHost2", "", "127.0.0.1", [](const TunnelSettings& t) { return t.ProxyHost2; }},
        DifferingDefault{"ProxyPort2", "0", "1080",
                         [](const TunnelSettings& t) { return std::to_string(t.ProxyPort2); }}),
    [](const auto& info) { return std::string(info.param.key); });

// One stored value, what the record holds after reading it, and what is written back.
struct TunnelKeyCase {
  const char* name;
  const char* key;
  const char* stored;
  int64_t (*get)(const TunnelSettings&);
  int64_t expected;
  const char* writtenBack;
};

class TunnelKey : public ::testing::TestWithParam<TunnelKeyCase> {};

TEST_P(TunnelKey, ReadAndWrittenBack) {
  const auto& c = GetParam();
  TIniFile ini = Parse(std::string("[Tunnel:0]\r\n") + c.key + "=" + c.stored + "\r\n");
  TunnelSettings t;
  ReadTunnelSection(ini, 0, t);
  EXPECT_EQ(c.get(t), c.expected);
  TIniFile out;
  WriteTunnelSection(out, 0, t);
  EXPECT_EQ(out.ReadString("Tunnel:0", c.key, "?"), c.writtenBack);
}

int64_t GetProxyType(const TunnelSettings& t) { return ProxyTypeNumber(t.ProxyType); }
int64_t GetPort(const TunnelSettings& t) { return t.Port; }
int64_t GetMapped(const TunnelSettings& t) { return t.Mapped; }
int64_t GetProxyPort(const TunnelSettings& t) { return t.ProxyPort; }
int64_t GetLocalAccess(const TunnelSettings& t) { return t.LocalAccess; }
int64_t GetSSLHost(const TunnelSettings& t) { return t.SSLHost; }
int64_t GetAutostart(const TunnelSettings& t) { return t.Autostart; }

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, TunnelKey,
    ::testing::Values(
        TunnelKeyCase{"ProxyType261KeepsLow8Bits", "ProxyType", "261", GetProxyType, 5, "5"},
        TunnelKeyCase{"ProxyType9StaysUnnamed", "ProxyType", "9", GetProxyType, 9, "9"},
        TunnelKeyCase{"ProxyType256IsNone", "ProxyType", "256", GetProxyType, 0, "0"},
        TunnelKeyCase{"ProxyTypeMinus1Is255", "ProxyType", "-1", GetProxyType, 255, "255"},
        TunnelKeyCase{"ProxyTypeHex", "ProxyType", "0x3", GetProxyType, 3, "3"},
        TunnelKeyCase{"Port70000Kept", "Port", "70000", GetPort, 70000, "70000"},
        TunnelKeyCase{"PortNegativeKept", "Port", "-1", GetPort, -1, "-1"},
        TunnelKeyCase{"PortHex", "Port", "0x50", GetPort, 80, "80"},
        TunnelKeyCase{"PortInvalid", "Port", "abc", GetPort, 119, "119"},
        TunnelKeyCase{"PortEmpty", "Port", "", GetPort, 119, "119"},
        TunnelKeyCase{"MappedInvalid", "Mapped", "abc", GetMapped, 120, "120"},
        TunnelKeyCase{"ProxyPortOverflow", "ProxyPort", "4294967296", GetProxyPort, 1080, "1080"},
        TunnelKeyCase{"LocalAccessInvalid", "LocalAccess", "yes", GetLocalAccess, 1, "1"},
        TunnelKeyCase{"LocalAccessZero", "LocalAccess", "0", GetLocalAccess, 0, "0"},
        TunnelKeyCase{"SSLHostTwoIsTrue", "SSLHost", "2", GetSSLHost, 1, "1"},
        TunnelKeyCase{"AutostartLowerCaseKey", "autostart", "1", GetAutostart, 1, "1"}),
    [](const auto& info) { return std::string(info.param.name); });

// The keys added after the 22 (connection summary, proxy user names, password
// files): missing, they keep the old behaviour and a written section holds
// nothing new; set, they follow the 22 in this order and read back the same.
// No password is ever written.
TEST(TunnelSection, LaterKeysAtTheEndOnlyWhenSet) {
  const TunnelSettings plain;
  TIniFile a;
  WriteTunnelSection(a, 3, plain);
  EXPECT_EQ(a.ToBytes(), kFreshSection);
  TunnelSettings read;
  read.LogSummary = true;
  read.ProxyUser = "x";
  TIniFile without = Parse(kFreshSection);
  ReadTunnelSection(without, 3, read);
  EXPECT_FALSE(read.LogSummary);
  EXPECT_EQ(read.ProxyUser, "");

  TunnelSettings t;
  t.LogSummary = true;
  t.ProxyUser = "alice";
  t.ProxyUser2 = "bob";
  t.ProxyPasswordFile = "/home/alice/.config/Sorvik/p1";
  t.ProxyPasswordFile2 = "/home/alice/p 2";
  t.ProxyPassword = "s3cret-one";
  t.ProxyPassword2 = "s3cret-two";
  TIniFile b;
  WriteTunnelSection(b, 3, t);
  const std::string bytes = b.ToBytes();
  const std::string tail =
      "TunnelCaption=\r\nLogSummary=1\r\nProxyUser=alice\r\nProxyUser2=bob\r\n"
      "ProxyPasswordFile=/home/alice/.config/Sorvik/p1\r\nProxyPasswordFile2=/home/alice/p 2\r\n";
  EXPECT_NE(bytes.find(tail), std::string::npos) << bytes;
  EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << bytes;
  TIniFile reread = Parse(bytes);
  TunnelSettings back;
  ReadTunnelSection(reread, 3, back);
  EXPECT_TRUE(back.LogSummary);
  EXPECT_EQ(back.ProxyUser, "alice");
  EXPECT_EQ(back.ProxyUser2, "bob");
  EXPECT_EQ(back.ProxyPasswordFile, "/home/alice/.config/Sorvik/p1");
  EXPECT_EQ(back.ProxyPasswordFile2, "/home/alice/p 2");
  EXPECT_EQ(back.ProxyPassword, "");
}

// ---------------------------------------------------------------------------
// Section "Options" and chain proxies

TEST(OptionsSection, MissingFileGivesDefaults) {
  const TSettings s = ReadFrom("");
  const TOptions& o = s.Options;
  EXPECT_FALSE(o.Maximized);
  EXPECT_FALSE(o.Minimized);
  EXPECT_EQ(o.Left, 100);
  EXPECT_EQ(o.Top, 50);
  EXPECT_EQ(o.Width, 400);
  EXPECT_EQ(o.Height, 200);
  EXPECT_EQ(o.tnCol1, 200);
  EXPECT_EQ(o.tnCol2, 50);
  EXPECT_EQ(o.tnCol3, 50);
  EXPECT_EQ(o.tnCol4, 90);
  EXPECT_EQ(o.LimitLogINT, 200);
  EXPECT_TRUE(o.LimitLog);
  EXPECT_FALSE(o.StartToTray);
  EXPECT_EQ(o.AutostartDelay, 5000);
  EXPECT_TRUE(s.Tunnels.empty());
  EXPECT_TRUE(s.ChainProxies.empty());
}

struct OptionCase {
  const char* name;
  const char* line;
  int64_t (*get)(const TOptions&);
  int64_t expected;
};

class OptionKey : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionKey, Reads) {
  const TSettings s = ReadFrom(std::string("[Options]\r\n") + GetParam().line + "\r\n");
  EXPECT_EQ(GetParam().get(s.Options), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, OptionKey,
    ::testing::Values(
        OptionCase{"LimitLog2IsTrue", "LimitLog=2", [](const TOptions& o) -> int64_t { return o.LimitLog; }, 1},
        OptionCase{"LimitLog0", "LimitLog=0", [](const TOptions& o) -> int64_t { return o.LimitLog; }, 0},
        OptionCase{"LimitLogInvalid", "LimitLog=off", [](const TOptions& o) -> int64_t { return o.LimitLog; }, 1},
        OptionCase{"LimitLogINTHex", "limitlogint=0x10", [](const TOptions& o) -> int64_t { return o.LimitLogINT; }, 16},
        OptionCase{"DelayInvalid", "AutostartDelay=5s", [](const TOptions& o) -> int64_t { return o.AutostartDelay; }, 5000},
        OptionCase{"Delay", "AutostartDelay=0", [](const TOptions& o) -> int64_t { return o.AutostartDelay; }, 0},
        OptionCase{"NegativeLeft", "Left=-1200", [](const TOptions& o) -> int64_t { return o.Left; }, -1200},
        OptionCase{"StartToTray", "StartToTray=1", [](const TOptions& o) -> int64_t { return o.StartToTray; }, 1},
        OptionCase{"Col4", "tnCol4=33", [](const TOptions& o) -> int64_t { return o.tnCol4; }, 33},
        OptionCase{"Col5NeverRead", "tnCol5=777", [](const TOptions& o) -> int64_t { return o.tnCol5; },
                   TOptions().tnCol5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OptionsSection, MinimizedWinsOverMaximizedAndGeometry) {
  struct Row {
    const char* text;
    bool startMaximized;
    bool applyGeometry;
  };
  for (const Row& r : {Row{"Minimized=1\r\nMaximized=1\r\nLeft=5", false, false},
                       Row{"Minimized=1\r\nMaximized=0\r\nLeft=5", false, false},
                       Row{"Minimized=0\r\nMaximized=1\r\nLeft=5", true, false},
                       Row{"Minimized=0\r\nMaximized=0\r\nLeft=5", false, true},
                       Row{"Minimized=0\r\nMaximized=0\r\nheight=300", false, true},
                       // No geometry key at all (a first start): the designed bounds stay.
                       Row{"Minimized=0\r\nMaximized=0", false, false}, Row{"", false, false}}) {
    const TSettings s = ReadFrom(std::string("[Options]\r\n") + r.text + "\r\n");
    EXPECT_EQ(s.Options.StartMaximized(), r.startMaximized) << r.text;
    EXPECT_EQ(s.Options.ApplyStoredGeometry(), r.applyGeometry) << r.text;
  }
}

TEST(OptionsSection, WrittenInOrderWithGeometryOnlyWhenNotMaximized) {
  TSettings s;
  s.Options.Left = 11;
  s.Options.Top = 22;
  s.Options.Width = 333;
  s.Options.Height = 444;
  s.Options.tnCol5 = 55;
  TIniFile ini;
  WriteSettings(ini, s);
  EXPECT_EQ(ini.ToBytes(),
            "[Options]\r\nMaximized=0\r\nMinimized=0\r\nLeft=11\r\nTop=22\r\nWidth=333\r\nHeight=444\r\n"
            "tnCol1=200\r\ntnCol2=50\r\ntnCol3=50\r\ntnCol4=90\r\ntnCol5=55\r\nLimitLogINT=200\r\n"
            "LimitLog=1\r\nStartToTray=0\r\nAutostartDelay=5000\r\n\r\n");

  s.Options.Maximized = true;
  WriteSettings(ini, s);
  EXPECT_EQ(ini.ToBytes(),
            "[Options]\r\nMaximized=1\r\nMinimized=0\r\n"
            "tnCol1=200\r\ntnCol2=50\r\ntnCol3=50\r\ntnCol4=90\r\ntnCol5=55\r\nLimitLogINT=200\r\n"
            "LimitLog=1\r\nStartToTray=0\r\nAutostartDelay=5000\r\n\r\n");
  const TSettings back = ReadFrom(ini.ToBytes());
  EXPECT_TRUE(back.Options.StartMaximized());
}

struct ChainCase {
  const char* name;
  const char* body;
  const char* host;
  int32_t port;
  int type;
};

class ChainProxyKeys : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainProxyKeys, Read) {
  const auto& c = GetParam();
  const TSettings s = ReadFrom(std::string("[Proxybase:0]\r\n") + c.body);
  ASSERT_EQ(s.ChainProxies.size(), 1u);
  EXPECT_EQ(s.ChainProxies[0]->Host, c.host);
  EXPECT_EQ(s.ChainProxies[0]->Port, c.port);
  EXPECT_EQ(ProxyTypeNumber(s.ChainProxies[0]->ChProxyType), c.type);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ChainProxyKeys,
    ::testing::Values(ChainCase{"Empty", "", "127.0.0.1", 1080, 0},
                      ChainCase{"PortHex", "Host=p\r\nPort=0x50\r\n", "p", 80, 0},
                      ChainCase{"PortInvalid", "Port=abc\r\n", "127.0.0.1", 1080, 0},
                      ChainCase{"TypeLow8Bits", "ChProxyType=261\r\n", "127.0.0.1", 1080, 5},
                      ChainCase{"TypeInvalid", "ChProxyType=x\r\n", "127.0.0.1", 1080, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChainProxies, PasswordsWrittenAsPlainTextInOrder) {
  TSettings s;
  for (int i = 0; i < 2; ++i) {
    auto c = std::make_unique<TChainItem>();
    c->Host = "h" + std::to_string(i);
    c->Password = "secret" + std::to_string(i);
    c->Port = 1000 + i;
    c->Username = "u";
    c->ChProxyType = TProxyType::Socks5;
    s.ChainProxies.push_back(std::move(c));
  }
  TIniFile ini;
  WriteSettings(ini, s);
  const std::string text = ini.ToBytes();
  EXPECT_NE(text.find("[Proxybase:1]\r\nHost=h1\r\nPassword=secret1\r\nPort=1001\r\nUsername=u\r\nChProxyType=3\r\n\r\n"),
            std::string::npos);
  EXPECT_LT(text.find("[Proxybase:0]"), text.find("[Proxybase:1]"));
}

// ---------------------------------------------------------------------------
// Numbering and the whole file

TEST(Numbering, FirstMissingNumberEndsEachList) {
  struct Row {
    const char* name;
    std::vector<int> tunnelNumbers;
    std::vector<int> proxyNumbers;
    std::size_t tunnels;
    std::size_t proxies;
  };
  for (const Row& r : {Row{"Consecutive", {0, 1, 2}, {0, 1}, 3, 2}, Row{"GapAfterOne", {0, 2}, {0, 2}, 1, 1},
                       Row{"GapAfterTwo", {0, 1, 3}, {1}, 2, 0}, Row{"NoZero", {1, 2}, {}, 0, 0},
                       Row{"OutOfOrder", {2, 0, 1}, {1, 0}, 3, 2}}) {
    std::string text;
    for (int n : r.tunnelNumbers) text += "[Tunnel:" + std::to_string(n) + "]\r\nServer=s" + std::to_string(n) + "\r\n";
    for (int n : r.proxyNumbers) text += "[Proxybase:" + std::to_string(n) + "]\r\nHost=p" + std::to_string(n) + "\r\n";
    const TSettings s = ReadFrom(text);
    ASSERT_EQ(s.Tunnels.size(), r.tunnels) << r.name;
    ASSERT_EQ(s.ChainProxies.size(), r.proxies) << r.name;
    for (std::size_t i = 0; i < s.Tunnels.size(); ++i) {
      EXPECT_EQ(s.Tunnels[i]->Settings.Server, "s" + std::to_string(i)) << r.name;
    }
    for (std::size_t i = 0; i < s.ChainProxies.size(); ++i) {
      EXPECT_EQ(s.ChainProxies[i]->Host, "p" + std::to_string(i)) << r.name;
    }
  }
}

TEST(SettingsLoad, TunnelsGetIndexStateAndEventHook) {
  int calls = 0;
  TSettings s;
  ReadSettings(Parse("[Tunnel:0]\r\nServer=a\r\n[Tunnel:1]\r\nServer=b\r\n"), s,
               [&calls](int32_t, int32_t, const std::string&) { ++calls; });
  ASSERT_EQ(s.Tunnels.size(), 2u);
  for (int n = 0; n < 2; ++n) {
    const TKestruneItem& t = *s.Tunnels[static_cast<std::size_t>(n)];
    EXPECT_EQ(t.TunnelIndex, n);
    EXPECT_EQ(t.RunState, TRunState::Stopped);
    EXPECT_EQ(t.ImageIndex, TRowImage::Stopped);
    ASSERT_TRUE(t.OnTunnelEvent);
    t.OnTunnelEvent(n, 4, "x");
  }
  EXPECT_EQ(calls, 2);
}

TEST(SettingsSave, RenumbersAndDropsWhatItDoesNotKnow) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  dir.WriteFile("sorvik.ini",
                "[Options]\r\nHandAdded=1\r\nLimitLogINT=300\r\n"
                "[Tunnel:0]\r\nServer=a\r\nFoo=bar\r\n"
                "[Tunnel:2]\r\nServer=beyond-the-gap\r\n"
                "[Unknown]\r\nk=v\r\n");
  TSettings s = LoadSettings(data);
  ASSERT_EQ(s.Tunnels.size(), 1u);
  auto added = std::make_unique<TKestruneItem>();
  added->Settings.Server = "b";
  s.Tunnels.push_back(std::move(added));
  SaveSettings(data, s);

  const TIniFile saved = Parse(ReadAll(data + "sorvik.ini"));
  EXPECT_EQ(saved.ReadInteger("Options", "LimitLogINT", 0), 300);
  EXPECT_FALSE(saved.ValueExists("Options", "HandAdded"));
  EXPECT_FALSE(saved.ValueExists("Tunnel:0", "Foo"));
  EXPECT_FALSE(saved.SectionExists("Unknown"));
  EXPECT_FALSE(saved.SectionExists("Tunnel:2"));
  EXPECT_EQ(saved.ReadString("Tunnel:0", "Server", ""), "a");
  EXPECT_EQ(saved.ReadString("Tunnel:1", "Server", ""), "b");
}

// The [Options] section of the stored files of the TLS key tests below.
constexpr const char* kStoredOptions =
    "[Options]\r\nMaximized=0\r\nMinimized=0\r\nLeft=10\r\nTop=20\r\nWidth=500\r\nHeight=300\r\n"
    "tnCol1=200\r\ntnCol2=50\r\ntnCol3=50\r\ntnCol4=90\r\ntnCol5=90\r\nLimitLogINT=200\r\nLimitLog=1\r\n"
    "StartToTray=0\r\nAutostartDelay=5000\r\n\r\n";

// The TLS keys that came after the original 22: a file without them reads as
// the older behaviour and is written back byte for byte; set, they are written
// after "TunnelCaption", each only when it differs from its missing value.
TEST(TunnelSectionTlsKeys, MissingKeysKeepTheFileAndTheOlderBehaviour) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  const std::string stored =
      std::string(kStoredOptions) +
      "[Tunnel:0]\r\nServer=news.example.org\r\nPort=563\r\nMapped=1119\r\nAutostart=1\r\nProxyType=2\r\n"
      "LogServerErrors=1\r\nLogToServer=0\r\nLogFromServer=0\r\nSSLHost=1\r\nIPv6Host=0\r\nLocalAccess=1\r\n"
      "SSLFingerprint=F6:4B:82:E7:AB:20:37:F5:12:56:F6:8D:CE:1E:26:FA\r\nSSLSubjectHash=9ACED276\r\n"
      "SSLIssuerHash=0011AABB\r\nSSLVerifycert=1\r\nSSLClientCertificatePath=\r\nSSLUseClientCertificate=0\r\n"
      "ProxyHost=127.0.0.1\r\nProxyPort=9050\r\nProxyHost2=127.0.0.1\r\nProxyPort2=1080\r\nTunnelCaption=news\r\n"
      "\r\n";
  { std::ofstream(data + "sorvik.ini", std::ios::binary) << stored; }
  TSettings s = LoadSettings(data);
  ASSERT_EQ(s.Tunnels.size(), 1u);
  const TKestruneItem& t = *s.Tunnels[0];
  EXPECT_FALSE(t.Settings.SSLSNI);
  EXPECT_FALSE(t.Settings.SSLVerifyChain);
  EXPECT_EQ(t.Settings.SSLPinnedKeys, "");
  SaveSettings(data, s);
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), stored);

  // Set, the keys follow the original ones; read back, they keep their values.
  s.Tunnels[0]->Settings.SSLSNI = true;
  s.Tunnels[0]->Settings.SSLVerifyChain = true;
  s.Tunnels[0]->Settings.SSLPinnedKeys = "sha256//AAAA;sha256//BBBB";
  SaveSettings(data, s);
  const std::string withKeys = ReadAll(data + "sorvik.ini");
  EXPECT_NE(withKeys.find("TunnelCaption=news\r\nSSLSNI=1\r\nSSLVerifyChain=1\r\n"
                          "SSLPinnedKeys=sha256//AAAA;sha256//BBBB\r\n\r\n"),
            std::string::npos)
      << withKeys;
  const TSettings back = LoadSettings(data);
  EXPECT_TRUE(back.Tunnels[0]->Settings.SSLSNI);
  EXPECT_TRUE(back.Tunnels[0]->Settings.SSLVerifyChain);
  EXPECT_EQ(back.Tunnels[0]->Settings.SSLPinnedKeys, "sha256//AAAA;sha256//BBBB");

  // Only the one that differs is written.
  s.Tunnels[0]->Settings.SSLSNI = false;
  s.Tunnels[0]->Settings.SSLPinnedKeys.clear();
  SaveSettings(data, s);
  const std::string oneKey = ReadAll(data + "sorvik.ini");
  EXPECT_NE(oneKey.find("TunnelCaption=news\r\nSSLVerifyChain=1\r\n\r\n"), std::string::npos) << oneKey;
  EXPECT_EQ(oneKey.find("SSLSNI"), std::string::npos);
  EXPECT_EQ(oneKey.find("SSLPinnedKeys"), std::string::npos);
}

// SSLAllowLegacy: a file without it reads as "off" and is written back byte
// for byte; "1" is read, kept through a save, and written last; "0" again
// drops the key.
TEST(TunnelSectionTlsKeys, AllowLegacyIsWrittenOnlyWhenSet) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  const std::string stored =
      std::string(kStoredOptions) +
      "[Tunnel:0]\r\nServer=old.example.org\r\nPort=563\r\nMapped=1119\r\nAutostart=0\r\nProxyType=0\r\n"
      "LogServerErrors=1\r\nLogToServer=0\r\nLogFromServer=0\r\nSSLHost=1\r\nIPv6Host=0\r\nLocalAccess=1\r\n"
      "SSLFingerprint=\r\nSSLSubjectHash=\r\nSSLIssuerHash=\r\nSSLVerifycert=0\r\nSSLClientCertificatePath=\r\n"
      "SSLUseClientCertificate=0\r\nProxyHost=127.0.0.1\r\nProxyPort=9050\r\nProxyHost2=127.0.0.1\r\n"
      "ProxyPort2=1080\r\nTunnelCaption=old\r\nSSLVerifyChain=1\r\n\r\n";
  { std::ofstream(data + "sorvik.ini", std::ios::binary) << stored; }
  TSettings s = LoadSettings(data);
  ASSERT_EQ(s.Tunnels.size(), 1u);
  EXPECT_FALSE(s.Tunnels[0]->Settings.SSLAllowLegacy);
  EXPECT_FALSE(NewTunnelSettings().SSLAllowLegacy);
  SaveSettings(data, s);
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), stored);

  s.Tunnels[0]->Settings.SSLAllowLegacy = true;
  SaveSettings(data, s);
  const std::string withKey = ReadAll(data + "sorvik.ini");
  EXPECT_EQ(withKey, stored.substr(0, stored.size() - 2) + "SSLAllowLegacy=1\r\n\r\n");
  TSettings back = LoadSettings(data);
  EXPECT_TRUE(back.Tunnels[0]->Settings.SSLAllowLegacy);
  SaveSettings(data, back);
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), withKey);

  back.Tunnels[0]->Settings.SSLAllowLegacy = false;
  SaveSettings(data, back);
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), stored);
}

TEST(SettingsSave, WholeFileRoundTrip) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  TSettings s;
  s.Options.Minimized = true;
  s.Options.LimitLog = false;
  s.Options.LimitLogINT = 1000;
  s.Options.AutostartDelay = 250;
  s.Options.tnCol1 = 321;
  for (int i = 0; i < 3; ++i) {
    auto t = std::make_unique<TKestruneItem>();
    SetEveryField(t->Settings);
    t->Settings.Server = "host" + std::to_string(i);
    s.Tunnels.push_back(std::move(t));
  }
  auto c = std::make_unique<TChainItem>();
  c->Host = "chain";
  c->Port = 9999;
  s.ChainProxies.push_back(std::move(c));
  SaveSettings(data, s);
  const std::string first = ReadAll(data + "sorvik.ini");

  const TSettings back = LoadSettings(data);
  EXPECT_TRUE(back.Options.Minimized);
  EXPECT_FALSE(back.Options.LimitLog);
  EXPECT_EQ(back.Options.LimitLogINT, 1000);
  EXPECT_EQ(back.Options.AutostartDelay, 250);
  EXPECT_EQ(back.Options.tnCol1, 321);
  ASSERT_EQ(back.Tunnels.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Persisted(back.Tunnels[i]->Settings), Persisted(s.Tunnels[i]->Settings));
  ASSERT_EQ(back.ChainProxies.size(), 1u);
  EXPECT_EQ(back.ChainProxies[0]->Port, 9999);

  SaveSettings(data, back);  // tnCol5 is never read, so it comes back as the default
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), first);
}

// ---------------------------------------------------------------------------
// Loading bad files

struct BadFileCase {
  const char* name;
  void (*make)(const std::string& dataDir);
};

class SettingsBadFile : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(SettingsBadFile, LoadsDefaults) {
  TempDir dir;
  const std::string data = dir.Path() + "/Sorvik/";
  fs::create_directories(data);
  GetParam().make(data);
  const TSettings s = LoadSettings(data);
  EXPECT_EQ(s.Options.AutostartDelay, 5000);
  EXPECT_TRUE(s.Tunnels.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsBadFile,
    ::testing::Values(
        BadFileCase{"Missing", [](const std::string&) {}},
        BadFileCase{"MissingDirectory", [](const std::string& d) { fs::remove_all(d); }},
        BadFileCase{"DirectoryInPlaceOfFile", [](const std::string& d) { fs::create_directory(d + "sorvik.ini"); }},
        BadFileCase{"RandomBytes",
                    [](const std::string& d) {
                      std::string bytes = test::RandomBytes(1 << 20, 7);
                      for (char& c : bytes) {
                        if (c == '[') c = '(';  // no sections: everything must stay default
                      }
                      std::ofstream(d + "sorvik.ini", std::ios::binary) << bytes;
                    }},
        BadFileCase{"NulBytes",
                    [](const std::string& d) {
                      std::ofstream(d + "sorvik.ini", std::ios::binary) << std::string(1 << 20, '\0');
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The three mends of saving

TSettings OneTunnel(const std::string& server) {
  TSettings s;
  auto t = std::make_unique<TKestruneItem>();
  t->Settings.Server = server;
  s.Tunnels.push_back(std::move(t));
  return s;
}

TEST(SettingsSaveMends, CreatesMissingDataDirectoryWithOwnerOnlyFile) {
  TempDir dir;
  const std::string data = dir.Path() + "/config/Sorvik/";
  SaveSettings(data, OneTunnel("fresh-account"));
  struct stat st{};
  ASSERT_EQ(::stat((data + "sorvik.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const TSettings back = LoadSettings(data);
  ASSERT_EQ(back.Tunnels.size(), 1u);
  EXPECT_EQ(back.Tunnels[0]->Settings.Server, "fresh-account");
}

TEST(SettingsSaveMends, SaveFailingHalfWayLeavesThePreviousFile) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  SaveSettings(data, OneTunnel("previous"));
  const std::string before = ReadAll(data + "sorvik.ini");

  TSettings big;
  for (int i = 0; i < 500; ++i) {
    auto t = std::make_unique<TKestruneItem>();
    t->Settings.Server = "host" + std::to_string(i);
    big.Tunnels.push_back(std::move(t));
  }
  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = before.size() + 100;  // the new file is cut off past this size
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  try {
    SaveSettings(data, big);
  } catch (const ESettingsSaveError&) {
    raised = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_TRUE(raised);
  EXPECT_EQ(ReadAll(data + "sorvik.ini"), before);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1u) << "a temporary file was left behind";
  ASSERT_EQ(LoadSettings(data).Tunnels.size(), 1u);
}

// ---------------------------------------------------------------------------
// What the save does with the file it finds

// A symbolic link stays a link: the file it finally names is replaced, next to
// itself (so that the rename stays on its file system); a dangling link gets
// its target created.
TEST(SettingsSaveThroughLinks, TheFinalTargetIsReplacedAndEveryLinkStays) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link (in the data dir) -> target as written
    std::string target;                                      // relative to the temp dir
  };
  const Case cases[] = {
      {"Relative", {{"sorvik.ini", "../dotfiles/sorvik.ini"}}, "dotfiles/sorvik.ini"},
      {"Absolute", {{"sorvik.ini", "$TMP/dotfiles/sorvik.ini"}}, "dotfiles/sorvik.ini"},
      {"Chain", {{"sorvik.ini", "second.ini"}, {"second.ini", "../dotfiles/sorvik.ini"}}, "dotfiles/sorvik.ini"},
      {"Dangling", {{"sorvik.ini", "../dotfiles/not-yet.ini"}}, "dotfiles/not-yet.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string data = dir.Path() + "/Sorvik/";
    fs::create_directories(data);
    fs::create_directories(dir.Path() + "/dotfiles");
    if (std::string(c.name) != "Dangling") {
      std::ofstream(dir.Path() + "/" + c.target) << "[Tunnel:0]\r\nServer=old\r\n";
    }
    for (auto [link, target] : c.links) {
      if (target.rfind("$TMP", 0) == 0) target = dir.Path() + target.substr(4);
      fs::create_symlink(target, data + link);
    }
    const TSaveOutcome outcome = SaveSettings(data, OneTunnel("new"));
    EXPECT_EQ(outcome.Kind, TSaveOutcome::TKind::Saved);
    EXPECT_TRUE(outcome.Message.empty());
    for (const auto& [link, target] : c.links) EXPECT_TRUE(fs::is_symlink(data + link)) << link;
    EXPECT_EQ(fs::canonical(outcome.Path), fs::canonical(dir.Path() + "/" + c.target));
    const TSettings back = LoadSettings(data);
    ASSERT_EQ(back.Tunnels.size(), 1u);
    EXPECT_EQ(back.Tunnels[0]->Settings.Server, "new");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.Path() + "/dotfiles")) ++entries;
    EXPECT_EQ(entries, 1u) << "a temporary file was left behind";
  }
}

TEST(SettingsSaveReadOnly, AFileWithoutWriteBitsIsLeftAloneAndSaidAtLoadAndSave) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  const std::string before = "[Tunnel:0]\r\nServer=frozen\r\n";
  const std::string path = dir.WriteFile("sorvik.ini", before);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  TSettingsLoad load;
  const TSettings s = LoadSettings(data, {}, &load);
  EXPECT_EQ(load.State, TSettingsLoad::TState::Read);
  EXPECT_EQ(load.ReadOnly, "The settings file \"" + path +
                               "\" is read-only: it is left as it is, and changes made in this session will not be saved.");
  const TSaveOutcome outcome = SaveSettings(data, OneTunnel("changed"), load);
  EXPECT_EQ(outcome.Kind, TSaveOutcome::TKind::NotSaved);
  EXPECT_EQ(outcome.Message, "The settings file \"" + path +
                                 "\" is read-only, so it was left as it is: the settings of this session were not saved.");
  EXPECT_EQ(ReadAll(path), before);
}

TEST(SettingsSaveUnreadable, AFileThatWasNotReadIsNeverWrittenOver) {
  TempDir dir;
  const std::string data = dir.Path() + "/";
  fs::create_directory(data + "sorvik.ini");  // something that is not a regular file
  fs::create_directory(data + "sorvik.ini/keep");
  TSettingsLoad load;
  LoadSettings(data, {}, &load);
  EXPECT_EQ(load.State, TSettingsLoad::TState::Unreadable);
  EXPECT_EQ(UnreadableText(load), "Cannot read the settings file \"" + data + "sorvik.ini\": it is a directory.");
  const TSaveOutcome outcome = SaveSettings(data, OneTunnel("session"), load);
  EXPECT_EQ(outcome.Kind, TSaveOutcome::TKind::SavedBeside);
  EXPECT_EQ(outcome.Path, data + "sorvik.ini.new");
  EXPECT_NE(outcome.Message.find("saved to \"" + data + "sorvik.ini.new\""), std::string::npos) << outcome.Message;
  EXPECT_TRUE(fs::is_directory(data + "sorvik.ini/keep"));
  EXPECT_NE(ReadAll(data + "sorvik.ini.new").find("Server=session"), std::string::npos);
}

TEST(SettingsLoadReport, RepeatedSectionsAreNotedWithTheirLine) {
  TempDir dir;
  const std::string path =
      dir.WriteFile("sorvik.ini", "[Tunnel:0]\rServer=a\r[Proxybase:0]\rHost=p\r[TUNNEL:0]\rServer=b\r");
  TSettingsLoad load;
  const TSettings s = LoadSettings(dir.Path() + "/", {}, &load);
  ASSERT_EQ(s.Tunnels.size(), 1u);
  EXPECT_EQ(s.Tunnels[0]->Settings.Server, "a");
  ASSERT_EQ(s.ChainProxies.size(), 1u);
  EXPECT_EQ(load.State, TSettingsLoad::TState::Read);
  EXPECT_TRUE(load.ReadOnly.empty());
  EXPECT_EQ(load.Notes, (std::vector<std::string>{"Settings file \"" + path +
                                                  "\", line 5: section [TUNNEL:0] appears a second time; it is "
                                                  "ignored and the first one is used."}));
}

// What counts as a change worth saving leaves the window's layout out.
TEST(SettingsContentOf, LayoutIsNoChangeATunnelIs) {
  TSettings s = OneTunnel("a");
  const std::string base = SettingsContent(s);
  s.Options.Left = 5;
  s.Options.Width = 999;
  s.Options.Maximized = true;
  s.Options.tnCol3 = 77;
  EXPECT_EQ(SettingsContent(s), base);
  s.Options.LimitLogINT = 5;
  EXPECT_NE(SettingsContent(s), base);
  s.Options.LimitLogINT = 200;
  EXPECT_EQ(SettingsContent(s), base);
  s.Tunnels[0]->Settings.Port = 1;
  EXPECT_NE(SettingsContent(s), base);
}

// ---------------------------------------------------------------------------
// The data directory

struct DataDirCase {
  const char* name;
  std::optional<std::string> override;
  bool marker;  // create the portable marker beside the executable
  std::optional<std::string> xdg;
  std::string expected;  // "$EXE/" stands for the executable's directory
};

class DataDir : public ::testing::TestWithParam<DataDirCase> {};

TEST_P(DataDir, Resolves) {
  const auto& c = GetParam();
  TempDir dir;
  const std::string exeDir = dir.Path() + "/bin dir";
  fs::create_directories(exeDir);
  std::ofstream(exeDir + "/sorvik") << "#!";
  if (c.marker) std::ofstream(exeDir + "/sorvik.p") << "";
  TDataDirInputs in;
  in.Override = c.override;
  in.ExecutablePath = exeDir + "/sorvik";
  in.XdgConfigHome = c.xdg;
  in.Home = "/home/user";
  in.CurrentDirectory = "/work/cwd";
  std::string expected = c.expected;
  if (expected.rfind("$EXE/", 0) == 0) expected = exeDir + "/" + expected.substr(5);
  EXPECT_EQ(ResolveDataDir(in), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DataDir,
    ::testing::Values(
        DataDirCase{"XdgUnset", std::nullopt, false, std::nullopt, "/home/user/.config/Sorvik/"},
        DataDirCase{"XdgAbsolute", std::nullopt, false, "/xdg/conf", "/xdg/conf/Sorvik/"},
        DataDirCase{"XdgTrailingSlash", std::nullopt, false, "/xdg/conf/", "/xdg/conf/Sorvik/"},
        DataDirCase{"XdgRelative", std::nullopt, false, "rel/conf", "/home/user/.config/Sorvik/"},
        DataDirCase{"XdgEmpty", std::nullopt, false, "", "/home/user/.config/Sorvik/"},
        DataDirCase{"Portable", std::nullopt, true, "/xdg/conf", "$EXE/"},
        DataDirCase{"OverrideBeatsPortable", "/data/one", true, "/xdg", "/data/one/"},
        DataDirCase{"OverrideTrailingSlashKept", "/data/one/", false, std::nullopt, "/data/one/"},
        DataDirCase{"OverrideRelative", "cfg/two", false, std::nullopt, "/work/cwd/cfg/two/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataDirMarker, ExtensionReplacedByP) {
  struct Row {
    const char* exe;
    const char* marker;
  };
  for (const Row& r : {Row{"/opt/sorvik/sorvik", "/opt/sorvik/sorvik.p"}, Row{"/opt/x.exe", "/opt/x.p"},
                       Row{"/opt/x.tar.gz", "/opt/x.tar.p"}, Row{"/o.d/sorvik", "/o.d/sorvik.p"},
                       Row{"/opt/.hidden", "/opt/.hidden.p"}, Row{"sorvik", "sorvik.p"}}) {
    EXPECT_EQ(PortableMarkerPath(r.exe), r.marker) << r.exe;
  }
}

TEST(DataDirMarker, OnlyTheMatchingNameCounts) {
  TempDir dir;
  std::ofstream(dir.Path() + "/sorvik") << "#!";
  std::ofstream(dir.Path() + "/other.p") << "";
  std::ofstream(dir.Path() + "/sorvik.P") << "";
  TDataDirInputs in;
  in.ExecutablePath = dir.Path() + "/sorvik";
  in.Home = "/h";
  EXPECT_EQ(ResolveDataDir(in), "/h/.config/Sorvik/");
}

TEST(DataDirProcess, UsesEnvironment) {
  // Each test runs in a process of its own, so changing the environment is safe here.
  ::setenv("XDG_CONFIG_HOME", "/tmp/sorvik-xdg-test", 1);
  EXPECT_EQ(DataDirectory(std::nullopt), "/tmp/sorvik-xdg-test/Sorvik/");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/tmp/sorvik-home-test", 1);
  EXPECT_EQ(DataDirectory(std::nullopt), "/tmp/sorvik-home-test/.config/Sorvik/");
  EXPECT_EQ(DataDirectory(std::string("/x/y")), "/x/y/");
}

// A command names a tunnel as the list shows it: an exact caption wins over a
// tunnel without a caption whose remote host has that name, wherever each
// stands in the list; among equals the first one.
TEST(FindTunnelRow, ExactCaptionFirstThenTheRemoteHostOfAnUncaptionedTunnel) {
  std::vector<std::unique_ptr<TKestruneItem>> tunnels;
  auto add = [&tunnels](const std::string& caption, const std::string& server) {
    auto t = std::make_unique<TKestruneItem>();
    t->Settings.TunnelCaption = caption;
    t->Settings.Server = server;
    tunnels.push_back(std::move(t));
  };
  add("", "news.example.org");        // 0: shown as its host
  add("news.example.org", "a.test");  // 1: that name as its caption
  add("mail", "mail.example.org");    // 2
  add("mail", "other.example.org");   // 3: the same caption again
  add("", "imap.example.org");        // 4
  add("Imap", "b.test");              // 5
  const struct {
    const char* caption;
    int row;
  } cases[] = {
      {"news.example.org", 1}, {"mail", 2}, {"imap.example.org", 4}, {"Imap", 5},
      {"mail.example.org", -1},  // a captioned tunnel is not found by its host
      {"IMAP.EXAMPLE.ORG", -1},  // exact, case included
  };
  for (const auto& c : cases) EXPECT_EQ(FindTunnelRow(tunnels, c.caption), c.row) << c.caption;
}

}  // namespace
}  // namespace sorvik

namespace sorvik {
namespace {

// Whatever the program writes, a reload takes as whole: every key of every
// section, the newer keys set, chain proxies, no tunnel at all; a hand-written
// file with hexadecimal numbers and other letter case too.
TEST(SettingsFileProblems, WhatTheProgramWritesIsWhole) {
  TSettings settings;
  for (int i = 0; i < 3; ++i) {
    auto tunnel = std::make_unique<TKestruneItem>();
    tunnel->Settings.Server = "news" + std::to_string(i) + ".example.org";
    tunnel->Settings.TunnelCaption = i == 1 ? "" : "n" + std::to_string(i);
    tunnel->Settings.SSLSNI = i == 2;
    tunnel->Settings.ProxyUser = i == 2 ? "me" : "";
    settings.Tunnels.push_back(std::move(tunnel));
  }
  settings.ChainProxies.push_back(std::make_unique<TChainItem>());
  TIniFile file;
  WriteSettings(file, settings);
  TIniFile read;
  read.LoadFromBytes(file.ToBytes());
  EXPECT_EQ(SettingsFileProblems(read), std::vector<std::string>{});
  settings.Tunnels.clear();
  WriteSettings(file, settings);
  read.LoadFromBytes(file.ToBytes());
  EXPECT_EQ(SettingsFileProblems(read), std::vector<std::string>{});
  read.LoadFromBytes("; mine\n[tunnel:0]\nserver = x\nPORT=0x77\nmapped=+120\n");
  EXPECT_EQ(SettingsFileProblems(read), std::vector<std::string>{});
}

// The remotes and time limits: missing, nothing is written and the tunnel
// keeps one remote without limits; set, they follow the other keys in this
// order and read back the same; what is stored is written back as it was.
TEST(TunnelSectionFailoverKeys, MissingKeysKeepTheFileSetKeysFollowInOrder) {
  TIniFile without = Parse(kFreshSection);
  TunnelSettings read;
  read.MoreServers = "x:1";
  read.ConnectTimeout = 9;
  ReadTunnelSection(without, 3, read);
  EXPECT_EQ(read.MoreServers, "");
  EXPECT_EQ(read.Failover, "priority");
  EXPECT_EQ(read.ConnectTimeout, 0);
  EXPECT_EQ(read.KeepAlive, "0");
  EXPECT_EQ(read.IdleTimeout, 0);
  TIniFile again;
  WriteTunnelSection(again, 3, read);
  EXPECT_EQ(again.ToBytes(), kFreshSection);

  TunnelSettings t;
  t.SSLAllowLegacy = true;
  t.MoreServers = "news2.example.org:563 [2001:db8::1]:563";
  t.Failover = "roundrobin";
  t.ConnectTimeout = 10;
  t.KeepAlive = "60,10,5";
  t.IdleTimeout = 300;
  TIniFile b;
  WriteTunnelSection(b, 3, t);
  const std::string bytes = b.ToBytes();
  EXPECT_NE(bytes.find("SSLAllowLegacy=1\r\nMoreServers=news2.example.org:563 [2001:db8::1]:563\r\n"
                       "Failover=roundrobin\r\nConnectTimeout=10\r\nKeepAlive=60,10,5\r\nIdleTimeout=300\r\n"),
            std::string::npos)
      << bytes;
  TunnelSettings back;
  ReadTunnelSection(Parse(bytes), 3, back);
  EXPECT_EQ(back, t);

  // Stored values equal to a missing key's are written back as stored.
  std::string stored = kFreshSection;
  stored.insert(stored.size() - 2, "Failover=Priority\r\nKeepAlive=\r\n");
  TunnelSettings odd;
  ReadTunnelSection(Parse(stored), 3, odd);
  TIniFile c;
  WriteTunnelSection(c, 3, odd);
  EXPECT_EQ(c.ToBytes(), stored);
}

// A cap or time limit whose stored text is no number is not run as "no cap"
// or "no limit": a start refuses the tunnel naming the key and its text, and
// the file is written back with the text as the user wrote it.
TEST(TunnelSectionFailoverKeys, CapOrLimitThatIsNoNumberRefusesTheStartAndIsKept) {
  struct Case {
    const char* line;
    const char* problem;
  };
  const Case cases[] = {
      {"MaxConnections=two", "MaxConnections \"two\" is not a number (0: no cap)."},
      {"MaxConnectionRate=5/s", "MaxConnectionRate \"5/s\" is not a number (0: no cap)."},
      {"ConnectTimeout=10s", "ConnectTimeout \"10s\" is not a number (seconds, 0 for none)."},
      {"IdleTimeout=5 min", "IdleTimeout \"5 min\" is not a number (seconds, 0 for none)."},
  };
  for (const Case& c : cases) {
    std::string stored = kFreshSection;
    stored.insert(stored.size() - 2, std::string(c.line) + "\r\n");
    TunnelSettings read;
    ReadTunnelSection(Parse(stored), 3, read);
    read.Server = "127.0.0.1";
    read.Port = 119;
    read.Mapped = 1119;
    const auto problem = TunnelStartProblem(read);
    ASSERT_TRUE(problem.has_value()) << c.line;
    EXPECT_EQ(problem->Text, c.problem) << c.line;
    TunnelSettings again;
    ReadTunnelSection(Parse(stored), 3, again);
    TIniFile back;
    WriteTunnelSection(back, 3, again);
    EXPECT_EQ(back.ToBytes(), stored) << c.line;
  }
  // A number, even 0, is read as before and leaves nothing beside it.
  std::string zero = kFreshSection;
  zero.insert(zero.size() - 2, "MaxConnections=0\r\nConnectTimeout=0x0A\r\n");
  TunnelSettings numbers;
  ReadTunnelSection(Parse(zero), 3, numbers);
  EXPECT_TRUE(numbers.NumberTexts.empty());
  EXPECT_EQ(numbers.ConnectTimeout, 10);
}

TEST(TunnelSectionFailoverKeys, NewTunnelsGetAConnectTimeoutAndKeepalive) {
  const TunnelSettings fresh = NewTunnelSettings();
  EXPECT_EQ(fresh.ConnectTimeout, 15);
  EXPECT_EQ(fresh.KeepAlive, "60,10,5");
  EXPECT_EQ(fresh.IdleTimeout, 0);
  EXPECT_EQ(fresh.MoreServers, "");
  EXPECT_EQ(fresh.Failover, "priority");
}

// A file whose remotes or time limits a start would refuse is not whole: a
// reload applies nothing from it and says which key is wrong.
TEST(SettingsFileProblems, RemotesAndTimeLimitsAreChecked) {
  struct Case {
    const char* line;
    const char* problem;  // empty: whole
  };
  const Case cases[] = {
      {"MoreServers=a.example:1 [::1]:2\tb:65535", ""},
      {"Failover=RoundRobin", ""},
      {"KeepAlive=30", ""},
      {"KeepAlive=0", ""},
      {"ConnectTimeout=0", ""},
      {"MoreServers=news2", "section [Tunnel:0]: MoreServers: \"news2\" has no port (host:port)"},
      {"MoreServers=2001:db8::1:563",
       "section [Tunnel:0]: MoreServers: \"2001:db8::1:563\" is not host:port (an IPv6 address goes in brackets: "
       "[2001:db8::1]:563)"},
      {"MoreServers=a:70000", "section [Tunnel:0]: MoreServers: \"a:70000\" has a port that is not a number from 1 to "
                              "65535"},
      {"Failover=random", "section [Tunnel:0]: Failover \"random\" is not one of \"priority\" and \"roundrobin\""},
      {"ConnectTimeout=-5", "section [Tunnel:0]: ConnectTimeout -5 is out of range (0 for none, up to 86400 seconds)"},
      {"ConnectTimeout=ten", "section [Tunnel:0]: key \"ConnectTimeout\" is not a number (\"ten\")"},
      {"KeepAlive=60,10", "section [Tunnel:0]: KeepAlive \"60,10\" is not in its form (0 for off, IDLE, or "
                          "IDLE,INTERVAL,COUNT in seconds and probes)"},
      {"IdleTimeout=99999999", "section [Tunnel:0]: IdleTimeout 99999999 is out of range (0 for none, up to 86400 "
                               "seconds)"},
  };
  for (const Case& c : cases) {
    TIniFile read;
    read.LoadFromBytes(std::string("[Tunnel:0]\nServer=x\nPort=1\nMapped=2\n") + c.line + "\n");
    const std::vector<std::string> want =
        *c.problem ? std::vector<std::string>{c.problem} : std::vector<std::string>{};
    EXPECT_EQ(SettingsFileProblems(read), want) << c.line;
  }
}

// Who may use a tunnel: the three keys follow the others only when set, read
// back the same, and a file whose allow-list or caps are wrong is not whole,
// with one phrase per wrong entry.
TEST(TunnelSectionAccessKeys, WrittenOnlyWhenSetAndCheckedWithTheFile) {
  TIniFile a;
  WriteTunnelSection(a, 3, TunnelSettings());
  EXPECT_EQ(a.ToBytes(), kFreshSection);
  TunnelSettings t;
  t.AllowFrom = "192.168.1.0/24 ::1";
  t.MaxConnections = 3;
  t.MaxConnectionRate = 20;
  TIniFile b;
  WriteTunnelSection(b, 3, t);
  const std::string bytes = b.ToBytes();
  EXPECT_NE(bytes.find("TunnelCaption=\r\nAllowFrom=192.168.1.0/24 ::1\r\nMaxConnections=3\r\nMaxConnectionRate=20\r\n"),
            std::string::npos)
      << bytes;
  TunnelSettings back;
  TIniFile reread = Parse(bytes);
  ReadTunnelSection(reread, 3, back);
  EXPECT_EQ(back, t);

  struct Case {
    const char* keys;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"AllowFrom=10.0.0.0/8 fe80::/10\nMaxConnections=0\nMaxConnectionRate=5\n", {}},
      {"AllowFrom=\n", {}},
      {"AllowFrom=10.0.0.300 10.0.0.0/8 x/1\n",
       {"section [Tunnel:0]: key \"AllowFrom\": \"10.0.0.300\" is not an IPv4 or IPv6 address",
        "section [Tunnel:0]: key \"AllowFrom\": \"x/1\" is not an IPv4 or IPv6 address or network"}},
      {"MaxConnections=-1\n", {"section [Tunnel:0]: key \"MaxConnections\" is negative (-1); 0 means no cap"}},
      {"MaxConnectionRate=ten\n", {"section [Tunnel:0]: key \"MaxConnectionRate\" is not a number (\"ten\")"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    TIniFile file;
    file.LoadFromBytes(std::string("[Tunnel:0]\nServer=x\nPort=1\nMapped=2\n") + c.keys);
    EXPECT_EQ(SettingsFileProblems(file), c.problems);
  }
}

}  // namespace
}  // namespace sorvik
