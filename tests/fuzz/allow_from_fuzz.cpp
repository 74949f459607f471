// LIBS: sorvik_net
// The allow-list parser on arbitrary bytes: no crash, no hang; a text is
// accepted exactly when no entry is named as wrong, and an accepted list
// answers for any client address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/client_access.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto list = sorvik::TAllowList::Parse(text);
  if (list.has_value() != sorvik::TAllowList::Problems(text).empty()) std::abort();
  if (list) {
    sorvik::TClientAddress client{};
    std::memcpy(client.data(), data, size < client.size() ? size : client.size());
    (void)list->Allows(client);
    if (list->RangeCount() > size) std::abort();
  }
  return 0;
}
