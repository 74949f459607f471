// LIBS: sorvik_proxy
// Fuzzes the SOCKS client's reply handling: the input's first byte picks the
// version and authentication, the rest is everything the proxy answers, read in
// pieces of a size the second byte picks. Any outcome but a network-layer error
// or a clean success (sanitizer reports, other exceptions) is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../proxy/memory_io.h"
#include "proxy/socks_info.h"

using namespace sorvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t piece = 1 + data[1] % 16;
  test::MemoryIOHandler io(std::string(reinterpret_cast<const char*>(data + 2), size - 2), piece);
  io.StartConnected();
  io.ReadTimeout = -1;
  TIdSocksInfo socks;
  static const TSocksVersion kVersions[] = {svSocks4, svSocks4A, svSocks5, svSocks5};
  socks.Version = kVersions[mode % 4];
  socks.Authentication = (mode & 4) ? saUsernamePassword : saNoAuthentication;
  socks.Username = (mode & 8) ? "alice" : "";
  socks.Password = (mode & 16) ? "s3cret" : "";
  try {
    if (mode & 32) {
      socks.BindThrough(io, "10.0.0.1", 21, Id_IPv4);
      socks.AwaitInbound(io, 1);
    } else {
      socks.Handshake(io, (mode & 64) ? "localhost" : "127.0.0.1", 119, Id_IPv4);
    }
  } catch (const EIdException&) {
    return 0;
  } catch (...) {
    std::abort();  // only the network layer's own errors may leave a handshake
  }
  return 0;
}
