#include "proxy/header_list.h"

#include "proxy/wire_text.h"

namespace sorvik {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// Trim as the header rules use it: control characters and blanks at both ends.
std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}
}  // namespace

void TIdHeaderList::AddLines(std::vector<std::string> lines) {
  for (auto& l : lines) lines_.push_back(std::move(l));
}

std::string TIdHeaderList::Values(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (!SameTextAscii(std::string_view(line).substr(0, colon), name)) continue;
    size_t start = colon + 1;
    while (start < line.size() && IsBlank(line[start])) ++start;
    std::string value = line.substr(start);
    for (size_t k = i + 1; k < lines_.size() && !lines_[k].empty() && IsBlank(lines_[k][0]); ++k) {
      value += ' ';
      value += Trim(lines_[k]);
    }
    return Trim(value);
  }
  return {};
}

}  // namespace sorvik
