#include "app/core/log_buffer.h"

namespace sorvik {

std::string LogLineText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void TLogBuffer::SetLimit(bool limitOn, int32_t limit) {
  limit_on_ = limitOn;
  limit_ = limit;
}

void TLogBuffer::AppendLine(const std::string& text) {
  // One old line at most per new line: a lowered limit shortens nothing at once.
  bool dropped = false;
  if (limit_on_ && static_cast<int64_t>(lines_.size()) > static_cast<int64_t>(limit_) && !lines_.empty()) {
    lines_.pop_front();
    dropped = true;
  }
  lines_.push_back(LogLineText(text));
  if (view_) view_->LineAppended(lines_.back(), dropped);
}

}  // namespace sorvik
