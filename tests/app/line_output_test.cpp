// The batched line output of the window-less mode, through a real pipe.
#include "app/headless/line_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sorvik {
namespace {

// A pipe whose write end is a stdio stream; the test reads the other end.
struct Pipe {
  int read = -1;
  std::FILE* write = nullptr;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    read = fds[0];
    write = ::fdopen(fds[1], "w");
  }
  ~Pipe() {
    if (write) std::fclose(write);
    if (read >= 0) ::close(read);
  }
  // Reads until `text` holds `lines` line feeds; false when nothing more comes
  // for 20 s (a bound for a loaded machine, not a timing expectation).
  bool ReadLines(std::string& text, size_t lines) {
    char buf[65536];
    auto count = [&] { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); };
    while (count() < lines) {
      pollfd p{read, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) return false;
      const ssize_t n = ::read(read, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
};

TEST(LineOutput, ALineReachesTheReaderWithoutCloseAndTheRestAtClose) {
  Pipe pipe;
  ASSERT_TRUE(pipe.write);
  TLineOutput output(pipe.write);
  output.Append("first line");
  std::string text;
  // Nobody flushes: the writer thread writes it by itself.
  ASSERT_TRUE(pipe.ReadLines(text, 1));
  EXPECT_EQ(text, "first line\n");
  // Right after a batch the writer is still in its gather rhythm, where a new
  // line does not wake it: the line comes by itself all the same.
  output.Append("second");
  ASSERT_TRUE(pipe.ReadLines(text, 2));
  EXPECT_EQ(text, "first line\nsecond\n");
  output.Append("");
  output.Append("third");
  output.Close();
  output.Append("after close");  // written at once
  ASSERT_TRUE(pipe.ReadLines(text, 5));
  EXPECT_EQ(text, "first line\nsecond\n\nthird\nafter close\n");
}

TEST(LineOutput, LinesOfManyThreadsArriveWholeInTheOrderOfTheirAppends) {
  Pipe pipe;
  ASSERT_TRUE(pipe.write);
  constexpr int kThreads = 6, kLines = 1000;
  std::string text;
  // The reader runs alongside, so the buffer's bound is reached and released.
  std::thread reader([&] { pipe.ReadLines(text, kThreads * kLines); });
  {
    TLineOutput output(pipe.write);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&output, t] {
        // Long lines fill batches quickly as well.
        const std::string pad(t * 100, 'x');
        for (int i = 0; i < kLines; ++i) output.Append("t" + std::to_string(t) + " " + std::to_string(i) + pad);
      });
    }
    for (auto& w : writers) w.join();
  }
  reader.join();
  std::istringstream in(text);
  std::map<int, int> next;
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
    ASSERT_EQ(line.size(), line.find(' ') + 1 + std::to_string(i).size() + static_cast<size_t>(t) * 100) << line;
    ASSERT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
}  // namespace sorvik
