// The text report of a tunnel's open connections (UI thread).
#include "tunnel/connection_report.h"

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
