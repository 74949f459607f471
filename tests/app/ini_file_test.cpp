// The INI reader and writer: syntax rules, value conversions, bad input and
// the atomic save.
#include "app/settings/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/net_fixtures.h"

namespace sorvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using namespace std::string_literals;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names of the entries in `dir` (to spot a temporary file left behind).
std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------------------
// Reading: one row per syntax rule.

struct ParseCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;  // nullopt: the key must be missing
};

class IniParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IniParse, ReadsValue) {
  const ParseCase& c = GetParam();
  TIniFile ini;
  ini.LoadFromBytes(c.text);
  EXPECT_EQ(ini.ValueExists(c.section, c.key), c.expected.has_value());
  if (c.expected) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), *c.expected);
  } else {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), "<default>");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniParse,
    ::testing::Values(
        ParseCase{"CrLf", "[S]\r\nk=v\r\n", "S", "k", "v"},
        ParseCase{"LfOnly", "[S]\nk=v\n", "S", "k", "v"},
        ParseCase{"NoFinalLineEnd", "[S]\nk=v", "S", "k", "v"},
        ParseCase{"TrimsKeyAndValue", "[S]\r\n \t key \t=  some value \t\r\n", "S", "key", "some value"},
        ParseCase{"TrimsSectionLine", "  [S]  \nk=v", "S", "k", "v"},
        ParseCase{"TrimsSectionName", "[  My Section ]\nk=v", "My Section", "k", "v"},
        ParseCase{"SectionNameCase", "[TuNNel:0]\nk=v", "tunnel:0", "k", "v"},
        ParseCase{"KeyCase", "[S]\nServer=h", "S", "SERVER", "h"},
        ParseCase{"SplitAtFirstEquals", "[S]\na = b = c", "S", "a", "b = c"},
        ParseCase{"NoEqualsIsKeyWithoutValue", "[S]\nflag\n", "S", "flag", ""},
        ParseCase{"EmptyValue", "[S]\nk=\n", "S", "k", ""},
        ParseCase{"EmptyKey", "[S]\n=v\n", "S", "", "v"},
        ParseCase{"CommentSkipped", "[S]\n;k=v\n", "S", ";k", std::nullopt},
        ParseCase{"IndentedComment", "[S]\n   ;k=v\n", "S", ";k", std::nullopt},
        ParseCase{"SemicolonInsideValue", "[S]\nk=a;b\n", "S", "k", "a;b"},
        ParseCase{"BeforeFirstSectionIgnored", "k=v\n[S]\n", "S", "k", std::nullopt},
        ParseCase{"UnclosedBracketIsEntry", "[S]\n[T\n", "S", "[T", ""},
        ParseCase{"BracketsInsideName", "[a]b]\nk=v", "a]b", "k", "v"},
        ParseCase{"EmptySectionName", "[]\nk=v", "", "k", "v"},
        ParseCase{"FirstDuplicateKeyWins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
        // A repeated section is ignored whole: no section is a mix of two.
        ParseCase{"RepeatedSectionIgnored", "[S]\na=1\n[T]\n[s]\nb=2\n", "S", "b", std::nullopt},
        ParseCase{"RepeatedSectionKeepsFirstValue", "[S]\na=1\n[S]\na=2\n", "S", "a", "1"},
        ParseCase{"RepeatedSectionEndsAtNextHeader", "[S]\n[S]\nx=1\n[U]\nk=v\n", "U", "k", "v"},
        ParseCase{"Utf8PassedThrough", "[S]\nName=Gr\xC3\xBC\xC3\x9F" "e\n", "S", "Name", "Gr\xC3\xBC\xC3\x9F" "e"},
        ParseCase{"NulInsideValue", "[S]\nk=a\0b\n"s, "S", "k", "a\0b"s},
        ParseCase{"CrAloneEndsLine", "[S]\rk=a\rb=c\r", "S", "b", "c"},
        ParseCase{"CrAloneEndsValue", "[S]\nk=a\rb\r\n", "S", "k", "a"},
        ParseCase{"MixedLineEnds", "[S]\r\na=1\nb=2\rc=3", "S", "c", "3"},
        ParseCase{"CrCrLfIsTwoLineEnds", "[S]\r\r\nk=v\r\r\n", "S", "k", "v"},
        ParseCase{"ByteOrderMarkSkipped", "\xEF\xBB\xBF[Tunnel:0]\r\nServer=h\r\n", "Tunnel:0", "Server", "h"},
        ParseCase{"ByteOrderMarkOnlyAtStart", "[S]\n\xEF\xBB\xBFk=v\n", "S", "\xEF\xBB\xBFk", "v"},
        ParseCase{"MissingSection", "[S]\nk=v", "T", "k", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, SectionExistsIgnoresCaseAndNeedsNoKeys) {
  TIniFile ini;
  ini.LoadFromBytes("[Empty]\r\n\r\n[Other]\r\nx=1\r\n");
  EXPECT_TRUE(ini.SectionExists("empty"));
  EXPECT_TRUE(ini.SectionExists("OTHER"));
  EXPECT_FALSE(ini.SectionExists("Missing"));
}

// ---------------------------------------------------------------------------
// Integer and boolean values

struct IntCase {
  const char* text;
  std::optional<int32_t> expected;  // nullopt: invalid, the default is read
};

class IniInteger : public ::testing::TestWithParam<IntCase> {};

TEST_P(IniInteger, ParsesOrYieldsDefault) {
  const IntCase& c = GetParam();
  TIniFile ini;
  ini.LoadFromBytes("[S]\nk=" + std::string(c.text) + "\n");
  EXPECT_EQ(ini.ReadInteger("S", "k", 4242), c.expected.value_or(4242)) << "value \"" << c.text << "\"";
  EXPECT_EQ(ini.ReadInteger("S", "missing", 4242), 4242);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniInteger,
    ::testing::Values(IntCase{"123", 123}, IntCase{"0", 0}, IntCase{"-5", -5}, IntCase{"+7", 7},
                      IntCase{"007", 7}, IntCase{"  42  ", 42}, IntCase{"0x50", 80}, IntCase{"0X1f", 31},
                      IntCase{"0x0", 0}, IntCase{"0xFFFFFFFF", -1}, IntCase{"0x7fffffff", INT32_MAX},
                      IntCase{"2147483647", INT32_MAX}, IntCase{"-2147483648", INT32_MIN},
                      IntCase{"2147483648", std::nullopt}, IntCase{"-2147483649", std::nullopt},
                      IntCase{"99999999999999999999", std::nullopt}, IntCase{"0x100000000", std::nullopt},
                      IntCase{"0x", std::nullopt}, IntCase{"0xg", std::nullopt}, IntCase{"0x-1", std::nullopt},
                      IntCase{"abc", std::nullopt}, IntCase{"", std::nullopt}, IntCase{"-", std::nullopt},
                      IntCase{"12a", std::nullopt}, IntCase{"1 2", std::nullopt}, IntCase{"1.5", std::nullopt},
                      IntCase{"$50", std::nullopt}));

struct BoolCase {
  const char* text;
  std::optional<bool> expected;  // nullopt: invalid, the default is read
};

class IniBool : public ::testing::TestWithParam<BoolCase> {};

TEST_P(IniBool, ReadAsInteger) {
  const BoolCase& c = GetParam();
  TIniFile ini;
  ini.LoadFromBytes("[S]\nk=" + std::string(c.text) + "\n");
  for (bool def : {false, true}) {
    EXPECT_EQ(ini.ReadBool("S", "k", def), c.expected.value_or(def)) << "value \"" << c.text << "\"";
  }
}

INSTANTIATE_TEST_SUITE_P(Values, IniBool,
                         ::testing::Values(BoolCase{"1", true}, BoolCase{"0", false}, BoolCase{"2", true},
                                           BoolCase{"-1", true}, BoolCase{"0x0", false}, BoolCase{"0x10", true},
                                           BoolCase{"true", std::nullopt}, BoolCase{"abc", std::nullopt},
                                           BoolCase{"", std::nullopt}));

// ---------------------------------------------------------------------------
// Writing

TEST(IniFile, WritesSectionsAndKeysInFirstWrittenOrderWithCrLf) {
  TIniFile ini;
  ini.WriteString("B", "z", "last");
  ini.WriteInteger("A", "n", -12);
  ini.WriteBool("B", "yes", true);
  ini.WriteBool("B", "no", false);
  ini.WriteString("b", "Z", "changed");  // same section and key: value replaced in place
  ini.WriteString("A", "empty", "");
  EXPECT_EQ(ini.ToBytes(),
            "[B]\r\nz=changed\r\nyes=1\r\nno=0\r\n\r\n"
            "[A]\r\nn=-12\r\nempty=\r\n\r\n");
}

TEST(IniFile, WrittenFileReadsBack) {
  TIniFile ini;
  ini.WriteString("Tunnel:0", "Server", "news.example.org");
  ini.WriteInteger("Tunnel:0", "Port", 70000);
  ini.WriteBool("Options", "LimitLog", true);
  ini.WriteString("Options", "Path", "/h\xC3\xA9/x=y;z");
  TIniFile back;
  back.LoadFromBytes(ini.ToBytes());
  EXPECT_EQ(back.ToBytes(), ini.ToBytes());
  EXPECT_EQ(back.ReadString("tunnel:0", "server", ""), "news.example.org");
  EXPECT_EQ(back.ReadInteger("Tunnel:0", "Port", 0), 70000);
  EXPECT_TRUE(back.ReadBool("Options", "LimitLog", false));
  EXPECT_EQ(back.ReadString("Options", "Path", ""), "/h\xC3\xA9/x=y;z");
}

TEST(IniFile, LineBreaksInWrittenTextCannotAddSectionsOrKeys) {
  TIniFile ini;
  ini.WriteString("S", "Caption", "a\r\n[Tunnel:9]\r\nServer=evil\nx");
  TIniFile back;
  back.LoadFromBytes(ini.ToBytes());
  EXPECT_FALSE(back.SectionExists("Tunnel:9"));
  EXPECT_EQ(back.ReadString("S", "Caption", ""), "a  [Tunnel:9]  Server=evil x");
}

TEST(IniFile, ClearErasesEverything) {
  TIniFile ini;
  ini.LoadFromBytes("[A]\nk=v\n[B]\n");
  ini.Clear();
  EXPECT_FALSE(ini.SectionExists("A"));
  EXPECT_EQ(ini.ToBytes(), "");
  ini.WriteString("C", "k", "v");
  EXPECT_EQ(ini.ToBytes(), "[C]\r\nk=v\r\n\r\n");
}

// A repeated section is ignored whole and named with the line of its header
// (counted over every kind of line end); the file written after such a read
// keeps the first section only, and reads back as written.
TEST(IniFile, RepeatedSectionsAreListedAndNotWrittenBack) {
  TIniFile ini;
  ini.LoadFromBytes("\xEF\xBB\xBF[Tunnel:0]\r\nServer=first\r\n[Options]\rLimitLog=0\r"
                    "[tunnel:0]\nServer=second\nPort=1\n\n[Options]\r\n[Tunnel:1]\nServer=third\n");
  ASSERT_EQ(ini.IgnoredSections().size(), 2u);
  EXPECT_EQ(ini.IgnoredSections()[0].Name, "tunnel:0");
  EXPECT_EQ(ini.IgnoredSections()[0].Line, 5u);
  EXPECT_EQ(ini.IgnoredSections()[1].Name, "Options");
  EXPECT_EQ(ini.IgnoredSections()[1].Line, 9u);
  EXPECT_EQ(ini.ReadString("Tunnel:0", "Server", ""), "first");
  EXPECT_FALSE(ini.ValueExists("Tunnel:0", "Port"));
  EXPECT_EQ(ini.ReadString("Tunnel:1", "Server", ""), "third");
  const std::string once = ini.ToBytes();
  EXPECT_EQ(once,
            "[Tunnel:0]\r\nServer=first\r\n\r\n[Options]\r\nLimitLog=0\r\n\r\n[Tunnel:1]\r\nServer=third\r\n\r\n");
  TIniFile back;
  back.LoadFromBytes(once);
  EXPECT_TRUE(back.IgnoredSections().empty());
  EXPECT_EQ(back.ToBytes(), once);
  ini.Clear();
  EXPECT_TRUE(ini.IgnoredSections().empty());
}

// ---------------------------------------------------------------------------
// Bad input: never a crash or a hang; whatever cannot be read is missing.

// Reading what was read and written gives the same text again.
void ExpectStableAfterOneRoundTrip(const std::string& input) {
  TIniFile first;
  first.LoadFromBytes(input);
  const std::string once = first.ToBytes();
  TIniFile second;
  second.LoadFromBytes(once);
  EXPECT_EQ(second.ToBytes(), once);
}

TEST(IniFileBadInput, RandomBytes) {
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    std::string bytes = test::RandomBytes(256 * 1024, seed);
    ExpectStableAfterOneRoundTrip(bytes);
    // Sprinkle line breaks and brackets so that sections and entries appear.
    for (std::size_t i = 0; i < bytes.size(); i += 37) bytes[i] = "\n[]=;\r"[(i / 37) % 6];
    ExpectStableAfterOneRoundTrip(bytes);
  }
}

TEST(IniFileBadInput, NulBytesOnly) {
  TIniFile ini;
  ini.LoadFromBytes(std::string(1 << 20, '\0'));
  EXPECT_EQ(ini.ToBytes(), "");
}

TEST(IniFileBadInput, MultiMegabyteLine) {
  const std::string value(8 << 20, 'x');
  TIniFile ini;
  ini.LoadFromBytes("[S]\nbefore=1\nbig=" + value + "\nafter=2\n");
  EXPECT_EQ(ini.ReadString("S", "big", "").size(), value.size());
  EXPECT_EQ(ini.ReadInteger("S", "after", 0), 2);
  // The same line as an integer is simply invalid.
  EXPECT_EQ(ini.ReadInteger("S", "big", 7), 7);
  TIniFile digits;
  digits.LoadFromBytes("[S]\nk=" + std::string(4 << 20, '9'));
  EXPECT_EQ(digits.ReadInteger("S", "k", 7), 7);
}

TEST(IniFileBadInput, FiftyMegabyteFile) {
  TempDir dir;
  const std::string path = dir.Path() + "/big.ini";
  {
    std::ofstream out(path, std::ios::binary);
    std::string chunk;
    for (int i = 0; i < 1000; ++i) chunk += "[Tunnel:" + std::to_string(i) + "]\r\nServer=host" + std::to_string(i) + "\r\n";
    while (out.tellp() < (50 << 20)) out << chunk;
    out << "[Last]\r\nk=0x50\r\n";
  }
  TIniFile ini;
  ASSERT_TRUE(ini.LoadFromFile(path));
  EXPECT_EQ(ini.ReadString("Tunnel:999", "Server", ""), "host999");
  EXPECT_EQ(ini.ReadInteger("Last", "k", 0), 80);
}

TEST(IniFileBadInput, ManyDistinctSectionsAndKeys) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "[S" + std::to_string(i) + "]\nk=" + std::to_string(i) + "\n";
  text += "[Wide]\n";
  for (int i = 0; i < 100000; ++i) text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  TIniFile ini;
  ini.LoadFromBytes(text);
  EXPECT_EQ(ini.ReadInteger("s99999", "K", -1), 99999);
  EXPECT_EQ(ini.ReadInteger("Wide", "KEY99999", -1), 99999);
}

struct UnreadableCase {
  const char* name;
  // Creates the obstacle inside `dir` and returns the path to load.
  std::string (*make)(const std::string& dir);
  // Part of the reason given; nullptr: the file counts as missing.
  const char* reason;
};

class IniUnreadable : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(IniUnreadable, LoadsNothing) {
  TempDir dir;
  const std::string path = GetParam().make(dir.Path());
  TIniFile ini;
  ini.LoadFromBytes("[Stale]\nk=v\n");
  const TIniFile::TReadOutcome outcome = ini.ReadFile(path);
  EXPECT_FALSE(ini.SectionExists("Stale"));
  EXPECT_EQ(ini.ToBytes(), "");
  // Something that is there but cannot be read is not a missing file: the
  // caller must not write over it.
  if (GetParam().reason == nullptr) {
    EXPECT_EQ(outcome.Status, TIniFile::TReadOutcome::TStatus::Missing) << outcome.Reason;
  } else {
    EXPECT_EQ(outcome.Status, TIniFile::TReadOutcome::TStatus::Unreadable);
    EXPECT_NE(outcome.Reason.find(GetParam().reason), std::string::npos) << outcome.Reason;
  }
  EXPECT_FALSE(ini.LoadFromFile(path));
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, IniUnreadable,
    ::testing::Values(
        UnreadableCase{"Missing", [](const std::string& d) { return d + "/none.ini"; }, nullptr},
        UnreadableCase{"DanglingSymlink",
                       [](const std::string& d) {
                         fs::create_symlink(d + "/not-yet", d + "/sorvik.ini");
                         return d + "/sorvik.ini";
                       },
                       nullptr},
        UnreadableCase{"Directory",
                       [](const std::string& d) {
                         fs::create_directory(d + "/sorvik.ini");
                         return d + "/sorvik.ini";
                       },
                       "it is a directory"},
        UnreadableCase{"Fifo",  // opening must not wait for a writer
                       [](const std::string& d) {
                         const std::string p = d + "/fifo.ini";
                         ::mkfifo(p.c_str(), 0600);
                         return p;
                       },
                       "it is not a regular file"},
        UnreadableCase{"PathThroughAFile",
                       [](const std::string& d) {
                         std::ofstream(d + "/file") << "x";
                         return d + "/file/sorvik.ini";
                       },
                       nullptr},
        UnreadableCase{"SymlinkLoop",
                       [](const std::string& d) {
                         fs::create_symlink(d + "/loop", d + "/loop");
                         return d + "/loop";
                       },
                       "symbolic links"},
        UnreadableCase{"ReadFails",  // a regular file whose first read fails with EIO
                       [](const std::string&) { return std::string("/proc/self/mem"); },
                       "Input/output error"},
        UnreadableCase{"Oversized",  // sparse: no disk space used
                       [](const std::string& d) {
                         const std::string p = d + "/huge.ini";
                         std::ofstream(p) << "[S]\nk=v\n";
                         fs::resize_file(p, kMaxIniFileSize + 1);
                         return p;
                       },
                       "larger than 256 MiB"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Saving

TIniFile SampleFile(int keys) {
  TIniFile ini;
  for (int i = 0; i < keys; ++i) ini.WriteString("Tunnel:" + std::to_string(i / 22), "Key" + std::to_string(i), "value value value");
  return ini;
}

TEST(IniFileSave, CreatesMissingDirectoriesAndWritesOwnerOnlyFile) {
  TempDir dir;
  const std::string sub = dir.Path() + "/a/b/Sorvik";
  const std::string path = sub + "/sorvik.ini";
  const mode_t oldMask = ::umask(0);
  const TIniFile ini = SampleFile(30);
  ini.SaveAtomically(path);
  ::umask(oldMask);
  EXPECT_EQ(ReadAll(path), ini.ToBytes());
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(DirEntries(sub), std::vector<std::string>{"sorvik.ini"});
}

TEST(IniFileSave, ReplacesAnExistingFileAndItsMode) {
  TempDir dir;
  const std::string path = dir.WriteFile("sorvik.ini", "[Old]\r\nk=v\r\n\r\n");
  ::chmod(path.c_str(), 0644);
  const TIniFile ini = SampleFile(3);
  ini.SaveAtomically(path);
  EXPECT_EQ(ReadAll(path), ini.ToBytes());
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"sorvik.ini"});
}

// The file system refuses the write half-way (as a full disk would): the size
// limit lets the first 4 KiB through, then write() fails with EFBIG.
TEST(IniFileSave, WriteFailingHalfWayKeepsTheOldFile) {
  TempDir dir;
  const std::string old = "[Options]\r\nLimitLog=1\r\n\r\n";
  const std::string path = dir.WriteFile("sorvik.ini", old);
  const TIniFile ini = SampleFile(5000);
  ASSERT_GT(ini.ToBytes().size(), 64u * 1024u);

  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  const char* className = "";
  try {
    ini.SaveAtomically(path);
  } catch (const EIdException& e) {
    message = e.what();
    className = e.ClassName();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_STREQ(className, "ESettingsSaveError");
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("File too large"), std::string::npos) << message;
  EXPECT_EQ(ReadAll(path), old);
  EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"sorvik.ini"});
}

struct SaveFailureCase {
  const char* name;
  std::string (*make)(const std::string& dir);  // returns the path to save to
  const char* reason;                           // part of the message
};

class IniSaveFailure : public ::testing::TestWithParam<SaveFailureCase> {};

TEST_P(IniSaveFailure, RaisesAndLeavesNoTrace) {
  TempDir dir;
  const std::string path = GetParam().make(dir.Path());
  const auto before = DirEntries(dir.Path());
  try {
    SampleFile(10).SaveAtomically(path);
    FAIL() << "save succeeded";
  } catch (const ESettingsSaveError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().reason), std::string::npos) << e.what();
  }
  EXPECT_EQ(DirEntries(dir.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, IniSaveFailure,
    ::testing::Values(
        SaveFailureCase{"DirectoryInPlaceOfFile",
                        [](const std::string& d) {
                          fs::create_directories(d + "/sorvik.ini/keep");
                          return d + "/sorvik.ini";
                        },
                        "Is a directory"},
        SaveFailureCase{"DataDirectoryIsAFile",
                        [](const std::string& d) {
                          std::ofstream(d + "/Sorvik") << "x";
                          return d + "/Sorvik/sorvik.ini";
                        },
                        "Not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sorvik
