// Pieces of the connection report (TKestruneItem::ConnectionReport).
//
// Thread contract: pure formatting, any thread; the report itself is taken on
// the UI thread under the server's context lock (connection_report.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/io_handler.h"

namespace sorvik {

// `s` with blanks added on the left up to `width`; never cut.
std::string RightAlign(const std::string& s, size_t width);
// " %s:%d    >>   %15s:%d    -   " of the accepted socket: client address and
// port, then the local address and port.
std::string ReportLocalPart(const TIdSocketBinding& local);
// "%s:%d   >> %15s:%d\r\n" of the outbound socket: its local address and port,
// then the peer (remote host or first proxy).
std::string ReportOutboundPart(const TIdSocketBinding& outbound);

// One open connection as the connections window's live table shows it: a
// snapshot of its endpoints, its age and the bytes moved each way so far.
struct TConnectionStat {
  uint64_t Id = 0;             // unique within the process
  std::string Client;          // "address:port" of the local client
  std::string Listen;          // "address:port" of the tunnel's listening end
  std::string Outbound;        // "address:port" of the outbound socket; empty while connecting
  std::string Remote;          // "address:port" of the remote host or first proxy; empty while connecting
  int64_t AgeMs = 0;           // since the connection was accepted
  uint64_t BytesToRemote = 0;  // from the client to the remote side
  uint64_t BytesToLocal = 0;   // from the remote side to the client
  // Ended: the figures are final, AgeMs is the connection's whole life.
  bool Closed = false;
};

// "address:port"; an IPv6 address in brackets.
std::string EndpointText(const std::string& address, int32_t port);

// The summary line of a relayed connection that ended (LogSummary):
// "hh:nn:ss > 0 - Connection from 127.0.0.1:40312 closed after 2.345 s:
// 1234 bytes to server, 5678 bytes from server." (one line). Byte counts are
// exact, in plain digits.
std::string FormatSummaryLine(const std::string& stamp, const std::string& client, int64_t durationMs,
                              uint64_t bytesToServer, uint64_t bytesFromServer);

}  // namespace sorvik
