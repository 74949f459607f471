// LIBS: sorvik_tunnel
// The remote list and keepalive readers on arbitrary text: no crash, no hang,
// and a list read without a problem reads back the same from its own text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tunnel/remotes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const sorvik::TRemoteList list = sorvik::ParseMoreServers(text);
  if (list.Problem.empty()) {
    std::string again;
    for (const sorvik::TRemote& r : list.Remotes) again += sorvik::RemoteText(r) + " ";
    if (sorvik::ParseMoreServers(again).Remotes != list.Remotes) std::abort();
  } else if (!list.Remotes.empty()) {
    std::abort();
  }
  const sorvik::TKeepAliveValue k = sorvik::ParseKeepAlive(text);
  if (!k.Problem.empty() && k.Value.On()) std::abort();
  (void)sorvik::ParseFailover(text);
  return 0;
}
