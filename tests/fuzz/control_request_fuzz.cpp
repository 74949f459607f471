// LIBS: sorvik_app_core
// Fuzzes the control channel's request parser with what a client may send, in
// one piece and its first half, and the JSON string escaping of
// the status reply with the same bytes as a caption: a complete request is
// formatted back to the same line, a JSON string holds no raw control byte and
// only valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/control/control_answer.h"
#include "app/control/control_protocol.h"

using namespace sorvik;

namespace {

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const TControlParse whole = ParseControlRequest(input);
  if (whole.State == TControlParse::TState::Complete) {
    const std::string line = FormatControlRequest(whole.Request);
    const TControlParse again = ParseControlRequest(line);
    if (again.State != TControlParse::TState::Complete || !(again.Request == whole.Request)) std::abort();
  }
  if (whole.State == TControlParse::TState::Malformed && whole.Error.empty()) std::abort();
  // What arrives in two reads: a prefix that is already complete is the
  // same request as the whole when nothing follows it.
  const TControlParse part = ParseControlRequest(std::string_view(input).substr(0, size / 2));
  if (part.State == TControlParse::TState::Complete && size / 2 == size && !(part.Request == whole.Request)) {
    std::abort();
  }

  const std::string json = JsonString(input);
  if (json.size() < 2 || json.front() != '"' || json.back() != '"' || !ValidUtf8(json)) std::abort();
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(json[i]);
    if (c < 0x20) std::abort();
    if (c == '\\') {
      ++i;  // the escaped character
    } else if (c == '"') {
      std::abort();
    }
  }
  return 0;
}
