// Drives a real outbound TCP client through proxy clients against loopback
// peers and collects what happened: the error (class and message), the first
// destination bytes after the handshake, and every status report.
//
// Thread contract: test thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/exceptions.h"
#include "net/tcp_client.h"
#include "proxy/http_connect.h"
#include "proxy/socks_info.h"

namespace sorvik::test {

// Bytes from a list of numbers (for replies that hold zero bytes).
inline std::string B(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

struct ProxyRun {
  std::string errorClass;  // empty on success
  std::string message;
  std::string data;        // destination bytes read after the handshake
  std::vector<std::string> statuses;  // "<tag>|<status>|<text>" of every proxy report
};

// Builds the proxies (owned by `client`) and returns the first hop.
using MakeProxies = std::function<TIdCustomTransparentProxy*(TIdTCPClient& client)>;

// Connects to host:port through the first hop that `make` returns and reads
// `readAfter` bytes of destination data.
inline ProxyRun RunClient(const MakeProxies& make, const std::string& host, uint16_t port, size_t readAfter,
                          int readTimeoutMs = 5000) {
  ProxyRun run;
  TIdTCPClient client;
  client.Host = host;
  client.Port = port;
  client.ReadTimeout = readTimeoutMs;
  TIdIOHandler* io = client.CreateIOHandler();
  TIdCustomTransparentProxy* first = make(client);
  for (TIdCustomTransparentProxy* p = first; p; p = p->ChainedProxy()) {
    p->OnStatus = [&run](TIdComponent& sender, TIdStatus status, const std::string& text) {
      run.statuses.push_back(std::to_string(sender.Tag) + "|" + std::to_string(status) + "|" + text);
    };
  }
  io->SetTransparentProxy(first);
  try {
    client.Connect();
    std::vector<uint8_t> bytes;
    io->ReadBytes(bytes, readAfter);
    run.data.assign(bytes.begin(), bytes.end());
  } catch (const EIdException& e) {
    run.errorClass = e.ClassName();
    run.message = e.what();
  }
  client.Disconnect();
  return run;
}

inline TIdSocksInfo* MakeSocks(TIdTCPClient& owner, uint16_t port, TSocksVersion version, int tag = 1) {
  auto* s = new TIdSocksInfo(&owner);
  s->Host = "127.0.0.1";
  s->Port = port;
  s->Version = version;
  s->Tag = tag;
  return s;
}

inline TIdConnectThroughHttpProxy* MakeHttp(TIdTCPClient& owner, uint16_t port, int tag = 1) {
  auto* h = new TIdConnectThroughHttpProxy(&owner);
  h->Host = "127.0.0.1";
  h->Port = port;
  h->SetEnabled(true);
  h->Tag = tag;
  return h;
}

}  // namespace sorvik::test
