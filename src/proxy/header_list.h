// Reply headers of an HTTP proxy: raw lines, looked up by name without regard
// to letter case, with continuation lines unfolded.
//
// Thread contract: a plain value; used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sorvik {

class TIdHeaderList {
 public:
  static constexpr const char* kNameValueSeparator = ": ";

  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void AddLines(std::vector<std::string> lines);
  void Clear() { lines_.clear(); }
  size_t Count() const { return lines_.size(); }
  const std::vector<std::string>& Lines() const { return lines_; }

  // The value of the first line whose name (the text before its first ':', not
  // trimmed) equals `name` in any letter case: the text after the ':' without
  // leading blanks, followed by each directly following line that starts with a
  // space or tab (trimmed, joined with one space); trimmed at both ends. No
  // match: empty.
  std::string Values(std::string_view name) const;

 private:
  std::vector<std::string> lines_;
};

}  // namespace sorvik
