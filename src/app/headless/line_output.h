// Lines for a stream (standard output of the window-less mode), written by a
// thread of their own.
//
// Append() only copies the line into a buffer; the writer thread takes the
// buffer and writes it with one write. It waits a moment (the gather time,
// 1 ms by default) after the first line of a batch, so that the lines that
// follow within that moment go out with it: a reader of a pipe sees each line
// within about that time, and a busy tunnel costs one write per batch instead
// of one per line, without the reporting threads ever waiting for the reader.
// While lines keep coming the writer stays in that rhythm, one wake-up per
// gather time, and an Append() wakes it only when it has gone to sleep after a
// gather time without lines. The order of the lines is the order of the Append() calls.
//
// The buffer is bounded: once kMaxPendingBytes wait, Append() waits for the
// writer to take them (a reader that stops reading stops the writers, as a
// full pipe did with a write per line).
//
// Thread contract: Append() from any thread; Close() and the destructor from
// the owning thread. Lines appended while Close() runs still go out in order;
// after it, Append() writes at once on the caller's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace sorvik {

class TLineOutput {
 public:
  static constexpr size_t kBatchBytes = 64 * 1024;        // written at once when this much waits
  static constexpr size_t kMaxPendingBytes = 1024 * 1024;  // Append() waits above this

  explicit TLineOutput(std::FILE* out, std::chrono::microseconds gather = std::chrono::milliseconds(1));
  ~TLineOutput();
  TLineOutput(const TLineOutput&) = delete;
  TLineOutput& operator=(const TLineOutput&) = delete;

  // Any thread: queues `line` and a line feed. Bounded by the writer taking
  // the buffer when it is full.
  void Append(std::string_view line);
  // Owning thread: writes what waits, flushes the stream and ends the writer
  // thread. Idempotent.
  void Close();

 private:
  void WriterLoop();  // writer thread

  std::FILE* const out_;
  const std::chrono::microseconds gather_;
  std::mutex mutex_;                 // guards pending_, closing_, stopped_ and asleep_
  std::condition_variable wake_;     // the writer: lines wait, or closing
  std::condition_variable room_;     // appenders: the buffer has room again
  std::string pending_;              // guarded by mutex_
  bool closing_ = false;             // guarded by mutex_
  bool stopped_ = false;             // guarded by mutex_: the writer has ended
  bool asleep_ = false;              // guarded by mutex_: the writer waits for a first line
  std::thread writer_;               // owning thread
};

}  // namespace sorvik
