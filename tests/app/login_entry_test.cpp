// The login entry: where it lives, how its Exec line quotes the program and
// data directory, and writing and removing it on a real file system.
#include "app/core/login_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/net_fixtures.h"

namespace sorvik {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(LoginEntry, PathFollowsXdgConfigHome) {
  EXPECT_EQ(LoginEntryPath(std::string("/x/conf"), "/home/u"), "/x/conf/autostart/sorvik.desktop");
  EXPECT_EQ(LoginEntryPath(std::string("/x/conf/"), "/home/u"), "/x/conf/autostart/sorvik.desktop");
  // Unset, empty or relative: the default under the home directory.
  EXPECT_EQ(LoginEntryPath(std::nullopt, "/home/u"), "/home/u/.config/autostart/sorvik.desktop");
  EXPECT_EQ(LoginEntryPath(std::string(""), "/home/u/"), "/home/u/.config/autostart/sorvik.desktop");
  EXPECT_EQ(LoginEntryPath(std::string("rel/conf"), "/home/u"), "/home/u/.config/autostart/sorvik.desktop");
}

// Each argument as the Desktop Entry Specification wants it in the file:
// quoted when it holds a reserved character, "\" "$" "`" and '"' escaped
// inside the quotes, and the whole escaped once more as a string value.
TEST(LoginEntry, ExecArgumentQuoting) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/usr/bin/sorvik", "/usr/bin/sorvik"},
      {"/opt/My Apps/sorvik", "\"/opt/My Apps/sorvik\""},
      {"/d/100%", "/d/100%%"},
      {"/d/$HOME", "\"/d/\\\\$HOME\""},
      {"/d/a\"b", "\"/d/a\\\\\"b\""},
      {"/d/back\\slash", "\"/d/back\\\\\\\\slash\""},
      {"/d/it's", "\"/d/it's\""},
      {"/d/`x`", "\"/d/\\\\`x\\\\`\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(DesktopExecArgument(c.in), c.out) << c.in;
  EXPECT_THROW(DesktopExecArgument("/d/line\nbreak"), std::invalid_argument);
}

TEST(LoginEntry, TextRunsTheProgramWithLoginAndItsDataDirectory) {
  const std::string plain = LoginEntryText("/usr/bin/sorvik", std::nullopt);
  EXPECT_EQ(plain.rfind("[Desktop Entry]\nType=Application\nName=Sorvik\n", 0), 0u) << plain;
  EXPECT_NE(plain.find("\nExec=/usr/bin/sorvik --login\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("\nTryExec=/usr/bin/sorvik\n"), std::string::npos) << plain;
  const std::string withDir = LoginEntryText("/usr/bin/sorvik", std::string("/home/u/my tunnels/"));
  EXPECT_NE(withDir.find("\nExec=/usr/bin/sorvik --login --data-dir \"/home/u/my tunnels/\"\n"), std::string::npos)
      << withDir;
}

TEST(LoginEntry, WriteAndRemoveOnDisk) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/conf/autostart/sorvik.desktop";
  EXPECT_FALSE(LoginEntryPresent(path));
  WriteLoginEntry(path, "/usr/bin/sorvik", std::nullopt);  // creates the folders
  ASSERT_TRUE(LoginEntryPresent(path));
  EXPECT_EQ(ReadAll(path), LoginEntryText("/usr/bin/sorvik", std::nullopt));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  WriteLoginEntry(path, "/opt/sorvik", std::nullopt);  // replaced whole
  EXPECT_EQ(ReadAll(path), LoginEntryText("/opt/sorvik", std::nullopt));
  // Nothing but the entry is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path() + "/conf/autostart"),
                          std::filesystem::directory_iterator{}),
            1);
  RemoveLoginEntry(path);
  EXPECT_FALSE(LoginEntryPresent(path));
  EXPECT_NO_THROW(RemoveLoginEntry(path));  // already gone

  // Failures carry the path and the reason.
  dir.WriteFile("file", "x");
  try {
    WriteLoginEntry(dir.Path() + "/file/autostart/sorvik.desktop", "/usr/bin/sorvik", std::nullopt);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/file/autostart"), std::string::npos) << e.what();
  }
  EXPECT_THROW(WriteLoginEntry(path, "/usr/bin/sor\tvik", std::nullopt), std::runtime_error);
  EXPECT_FALSE(LoginEntryPresent(path));
}

}  // namespace
}  // namespace sorvik
