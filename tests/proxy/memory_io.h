// An I/O handler over bytes in memory, for tests and fuzzing of the proxy
// clients without sockets: reads come from a fixed script (optionally in short
// pieces), writes are recorded per connection and per write call. Open()
// "reconnects" by starting a new recorded connection and running the proxy
// chain again over the rest of the script.
//
// Thread contract: used from the one test thread only.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/io_handler.h"
#include "net/transparent_proxy.h"

namespace sorvik::test {

class MemoryIOHandler : public TIdIOHandlerStack {
 public:
  // `incoming`: every byte the peer will send, over all connections; `piece`:
  // largest read result (1 forces byte-by-byte reads).
  explicit MemoryIOHandler(std::string incoming, size_t piece = 1u << 20)
      : incoming_(std::move(incoming)), piece_(piece) {
    connections.emplace_back();
  }

  std::vector<std::string> connections;  // bytes written, one entry per Open()
  std::vector<size_t> writeSizes;        // size of every write call, in order
  int opens = 0;

  size_t Remaining() const { return incoming_.size() - pos_; }
  bool Connected() const override { return open_; }
  // Starts the handler as if its socket to the first hop stood already.
  void StartConnected() { open_ = true; }

  void Open() override {
    ++opens;
    if (opens > 1) connections.emplace_back();
    open_ = true;
    input_.clear();
    try {
      TIdCustomTransparentProxy* proxy = TransparentProxy();
      if (proxy && proxy->Enabled()) proxy->Connect(*this, Host, Port, IPVersion);
    } catch (...) {
      Close();
      throw;
    }
  }
  void Close() override {
    open_ = false;
    TIdIOHandler::Close();
  }
  bool TransportPending() const override { return true; }  // never wait on a socket
  int ReadAvailable(uint8_t* buf, int len) override {
    const size_t n = std::min({static_cast<size_t>(len), piece_, Remaining()});
    if (n == 0) return 0;  // the peer has ended the stream
    std::memcpy(buf, incoming_.data() + pos_, n);
    pos_ += n;
    return static_cast<int>(n);
  }
  int WriteAll(const uint8_t* buf, int len) override {
    connections.back().append(reinterpret_cast<const char*>(buf), static_cast<size_t>(len));
    writeSizes.push_back(static_cast<size_t>(len));
    return len;
  }

 private:
  std::string incoming_;
  size_t piece_;
  size_t pos_ = 0;
  bool open_ = false;
};

}  // namespace sorvik::test
