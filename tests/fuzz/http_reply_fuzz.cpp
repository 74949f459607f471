// LIBS: sorvik_proxy
// Fuzzes the HTTP CONNECT client's answer handling (status line, headers with
// continuation lines, Content-Length draining, the 407 retries on the same and
// on a rebuilt stream): the first byte picks credentials and the read piece
// size, the rest is everything the proxy answers. The header lookup is also
// run on the input's lines directly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../proxy/memory_io.h"
#include "proxy/http_connect.h"

using namespace sorvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);

  TIdHeaderList headers;
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    headers.Add(reply.substr(start, end - start));
    start = end + 1;
  }
  (void)headers.Values("Content-Length");
  (void)http::ContentLength(headers);
  (void)http::StatusCode(reply.substr(0, reply.find('\n')));

  test::MemoryIOHandler io(reply, 1 + (mode >> 4));
  TIdConnectThroughHttpProxy proxy;
  proxy.SetEnabled(true);
  if (mode & 1) {
    proxy.Username = "alice";
    proxy.Password = "s3cret";
  }
  io.MaxLineLength = (mode & 2) ? 64 : TIdIOHandler::kMaxLineLength;
  io.SetTransparentProxy(&proxy);
  io.Host = "10.0.0.1";
  io.Port = 119;
  try {
    io.Open();
  } catch (const EIdException&) {
    return 0;
  } catch (...) {
    std::abort();
  }
  return 0;
}
