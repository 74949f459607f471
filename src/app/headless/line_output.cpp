#include "app/headless/line_output.h"
#include "net/thread_name.h"

namespace sorvik {

TLineOutput::TLineOutput(std::FILE* out, std::chrono::microseconds gather) : out_(out), gather_(gather) {
  writer_ = std::thread([this] {
    NameThisThread("log writer");
    WriterLoop();
  });
}

TLineOutput::~TLineOutput() { Close(); }

void TLineOutput::Append(std::string_view line) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_) {
    // No writer any more: straight to the stream, under the lock.
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    return;
  }
  // Bounded by the writer, which empties the buffer into the stream.
  room_.wait(lock, [&] { return pending_.size() < kMaxPendingBytes || closing_; });
  const bool wake = asleep_ && pending_.empty();
  pending_.append(line);
  pending_ += '\n';
  const bool full = pending_.size() >= kBatchBytes;
  lock.unlock();
  // One wake-up per batch at most: the first line of a quiet writer starts its
  // gather time; a full batch ends it early.
  if (wake || full) wake_.notify_one();
}

void TLineOutput::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  room_.notify_all();
  if (writer_.joinable()) writer_.join();
}

// Writer thread: waits for a first line, then writes a batch every gather time
// for as long as lines come; one gather time without a line and it waits for
// the next first line again.
void TLineOutput::WriterLoop() {
  std::string batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    asleep_ = true;
    // Bounded by Close().
    wake_.wait(lock, [&] { return !pending_.empty() || closing_; });
    asleep_ = false;
    if (pending_.empty()) {  // closing, nothing left
      stopped_ = true;
      break;
    }
    for (;;) {
      if (!closing_) {
        // Bounded by the gather time.
        wake_.wait_for(lock, gather_, [&] { return closing_ || pending_.size() >= kBatchBytes; });
      }
      if (pending_.empty()) break;  // a gather time without a line
      batch.swap(pending_);
      lock.unlock();
      room_.notify_all();
      std::fwrite(batch.data(), 1, batch.size(), out_);
      std::fflush(out_);
      batch.clear();
      lock.lock();
    }
  }
}

}  // namespace sorvik
