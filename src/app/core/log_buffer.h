// The global log: the lines of tunnel events and of the window's own failure
// lines, with the append rules (CR LF to a blank, the line limit).
//
// Thread contract: UI thread only. Workers reach it through AppCore's event
// handler, which hands each line over to the UI thread first (in the
// window-less mode a worker may append for the idle UI thread, never at the
// same time as it: see TQueueDispatcher).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sorvik {

// What shows the log (the Qt text area, standard output in window-less mode).
// Called on the UI thread after the buffer has changed.
class ILogView {
 public:
  virtual ~ILogView() = default;
  // `droppedOldest`: the first (oldest) line was deleted before `line` was added.
  virtual void LineAppended(const std::string& line, bool droppedOldest) = 0;
};

// Replaces every CR LF pair by one blank; other control characters stay.
std::string LogLineText(const std::string& text);

class TLogBuffer {
 public:
  // Default options: flag on, limit 200.
  TLogBuffer() = default;

  // The limit flag ("LimitLog") and the line limit ("LimitLogINT"); the next
  // appended line follows the new values. Lowering the limit never shortens
  // the log at once.
  void SetLimit(bool limitOn, int32_t limit);
  bool LimitOn() const { return limit_on_; }
  int32_t Limit() const { return limit_; }

  // Adds `text` as the new last line, each CR LF in it turned into one blank
  // so that a line stays one row of the log. With the flag on and more lines
  // than the limit held, the oldest line is dropped first: one per new line,
  // so that a lowered limit never shortens the log at once.
  void AppendLine(const std::string& text);

  const std::deque<std::string>& Lines() const { return lines_; }
  size_t LineCount() const { return lines_.size(); }
  void Clear() { lines_.clear(); }

  // The view told about every appended line; null for none. Not owned.
  void SetView(ILogView* view) { view_ = view; }

 private:
  std::deque<std::string> lines_;
  bool limit_on_ = true;
  int32_t limit_ = 200;
  ILogView* view_ = nullptr;
};

}  // namespace sorvik
