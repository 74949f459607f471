// The command line: the parser, and the built `sorvik` executable's answers.
#include "app/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/net_fixtures.h"

namespace sorvik {
namespace {

struct ParseCase {
  const char* name;
  std::vector<const char*> args;  // without argv[0]
  TCommandLine::TAction action;
  std::optional<std::string> dataDir;
  bool headless;
  const char* errorPart;  // part of the error message, for Action Error
};

class CommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CommandLine, Parses) {
  const auto& c = GetParam();
  std::vector<const char*> argv{"sorvik"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const TCommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(cl.Action, c.action);
  if (c.action == TCommandLine::TAction::Error) {
    EXPECT_NE(cl.Error.find(c.errorPart), std::string::npos) << cl.Error;
  } else {
    EXPECT_EQ(cl.DataDir, c.dataDir);
    EXPECT_EQ(cl.Headless, c.headless);
  }
}

using A = TCommandLine::TAction;
INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        ParseCase{"Nothing", {}, A::Run, std::nullopt, false, ""},
        ParseCase{"DataDir", {"--data-dir", "/tmp/x"}, A::Run, "/tmp/x", false, ""},
        ParseCase{"DataDirEquals", {"--data-dir=/tmp/y"}, A::Run, "/tmp/y", false, ""},
        ParseCase{"Headless", {"--headless", "--data-dir", "d"}, A::Run, "d", true, ""},
        ParseCase{"Version", {"--version"}, A::Version, std::nullopt, false, ""},
        ParseCase{"Help", {"--help"}, A::Help, std::nullopt, false, ""},
        ParseCase{"HelpAfterOptions", {"--headless", "--help"}, A::Help, std::nullopt, true, ""},
        ParseCase{"Unknown", {"--frobnicate"}, A::Error, std::nullopt, false, "unknown option '--frobnicate'"},
        ParseCase{"UnknownShort", {"-x"}, A::Error, std::nullopt, false, "unknown option '-x'"},
        ParseCase{"UnknownBeforeVersion", {"--nope", "--version"}, A::Error, std::nullopt, false, "'--nope'"},
        ParseCase{"DataDirWithoutValue", {"--data-dir"}, A::Error, std::nullopt, false, "needs a directory"},
        ParseCase{"DataDirEmpty", {"--data-dir="}, A::Error, std::nullopt, false, "needs a directory"},
        ParseCase{"StrayArgument", {"file.ini"}, A::Error, std::nullopt, false, "unexpected argument 'file.ini'"}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs the built executable with `args`; returns the exit status and fills the outputs.
int RunSorvik(const std::string& args, std::string& out, std::string& err) {
  test::TempDir dir;
  const std::string outPath = dir.Path() + "/out";
  const std::string errPath = dir.Path() + "/err";
  const std::string command = "'" SORVIK_EXECUTABLE "' " + args + " </dev/null >'" + outPath + "' 2>'" + errPath + "'";
  const int status = std::system(command.c_str());
  auto slurp = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  out = slurp(outPath);
  err = slurp(errPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SorvikExecutable, Version) {
  std::string out, err;
  EXPECT_EQ(RunSorvik("--version", out, err), 0);
  EXPECT_EQ(out, "Sorvik 1.2.8\n");
  EXPECT_EQ(err, "");
}

TEST(SorvikExecutable, Help) {
  std::string out, err;
  EXPECT_EQ(RunSorvik("--help", out, err), 0);
  EXPECT_NE(out.find("--data-dir DIR"), std::string::npos) << out;
  EXPECT_NE(out.find("--headless"), std::string::npos) << out;
  EXPECT_NE(out.find("--version"), std::string::npos) << out;
}

TEST(SorvikExecutable, BadCommandLinesExitWithStatus2) {
  for (const char* args : {"--frobnicate", "--data-dir", "stray"}) {
    std::string out, err;
    EXPECT_EQ(RunSorvik(args, out, err), 2) << args;
    EXPECT_EQ(out, "") << args;
    EXPECT_EQ(err.rfind("sorvik: ", 0), 0u) << err;
    EXPECT_NE(err.find("--help"), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace sorvik
