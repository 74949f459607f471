// The text report of a tunnel's open connections (UI thread).
#include "tunnel/connection_report.h"

#include <cinttypes>
#include <cstdio>

#include "net/mapped_port_tcp.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

std::string RightAlign(const std::string& s, size_t width) {
  if (s.size() >= width) return s;
  return std::string(width - s.size(), ' ') + s;
}

std::string ReportLocalPart(const TIdSocketBinding& local) {
  return " " + local.PeerIP + ":" + std::to_string(local.PeerPort) + "    >>   " + RightAlign(local.IP, 15) + ":" +
         std::to_string(local.Port) + "    -   ";
}

std::string ReportOutboundPart(const TIdSocketBinding& outbound) {
  return outbound.IP + ":" + std::to_string(outbound.Port) + "   >> " + RightAlign(outbound.PeerIP, 15) + ":" +
         std::to_string(outbound.PeerPort) + "\r\n";
}

std::string EndpointText(const std::string& address, int32_t port) {
  if (address.find(':') != std::string::npos) return "[" + address + "]:" + std::to_string(port);
  return address + ":" + std::to_string(port);
}

std::string FormatSummaryLine(const std::string& stamp, const std::string& client, int64_t durationMs,
                              uint64_t bytesToServer, uint64_t bytesFromServer) {
  if (durationMs < 0) durationMs = 0;
  char buf[160];
  std::snprintf(buf, sizeof buf, " closed after %" PRId64 ".%03d s: %" PRIu64 " bytes to server, %" PRIu64
                " bytes from server.", durationMs / 1000, static_cast<int>(durationMs % 1000), bytesToServer,
                bytesFromServer);
  return stamp + " > 0 - Connection from " + client + buf;
}

// UI thread. Each entry is read under the context lock, like the text report;
// the byte counts are read without a lock (the workers keep adding to them).
std::vector<TConnectionStat> TKestruneItem::ConnectionStats() const {
  std::vector<TConnectionStat> stats;
  if (!MappingServer) return stats;
  try {
    const auto now = std::chrono::steady_clock::now();
    auto locked = MappingServer->LockList();
    for (TIdMappedPortContext* context : locked.List()) {
      TConnectionStat s;
      s.Id = context->Id();
      const TIdSocketBinding local = context->Connection().BindingSnapshot();
      s.Client = EndpointText(local.PeerIP, local.PeerPort);
      s.Listen = EndpointText(local.IP, local.Port);
      TIdTCPClient* outbound = context->OutboundClient();
      TIdIOHandler* io = outbound ? outbound->IOHandler() : nullptr;
      if (io) {
        const TIdSocketBinding b = io->BindingSnapshot();
        if (b.Handle >= 0 && !b.PeerIP.empty()) {
          s.Outbound = EndpointText(b.IP, b.Port);
          s.Remote = EndpointText(b.PeerIP, b.PeerPort);
        }
      }
      s.AgeMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - context->Started()).count();
      s.BytesToRemote = context->BytesToRemote();
      s.BytesToLocal = context->BytesToLocal();
      stats.push_back(std::move(s));
    }
    for (const TIdMappedPortTCP::TEndedConnection& e : locked.Ended()) {
      TConnectionStat s;
      s.Id = e.Id;
      s.AgeMs = std::chrono::duration_cast<std::chrono::milliseconds>(e.Lasted).count();
      s.BytesToRemote = e.BytesToRemote;
      s.BytesToLocal = e.BytesToLocal;
      s.Closed = true;
      stats.push_back(std::move(s));
    }
  } catch (...) {
    // What was collected so far is the snapshot.
  }
  return stats;
}

std::string TKestruneItem::ConnectionReport() const {
  std::string text = "No connections";
  if (!MappingServer) return text;
  try {
    auto locked = MappingServer->LockList();
    const auto& list = locked.List();
    if (list.empty()) return "Connections: 0";
    text = "Connections: " + std::to_string(list.size()) + "\r\n";
    for (TIdMappedPortContext* context : list) {
      // Snapshots: the workers write their bindings while this thread reads.
      const TIdSocketBinding local = context->Connection().BindingSnapshot();
      if (local.Handle >= 0) text += ReportLocalPart(local);
      TIdTCPClient* outbound = context->OutboundClient();
      TIdIOHandler* io = outbound ? outbound->IOHandler() : nullptr;
      if (io) {
        // A socket that is still connecting has no peer yet: local part only.
        const TIdSocketBinding b = io->BindingSnapshot();
        if (b.Handle >= 0 && !b.PeerIP.empty()) text += ReportOutboundPart(b);
      }
    }
  } catch (...) {
    // What was built so far is the report.
  }
  return text;
}

}  // namespace sorvik
