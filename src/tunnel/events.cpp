// Tunnel events: the reporting routine with the event switch, and the status,
// TLS information and error handlers. Reporters run on connection workers.
#include "tunnel/events.h"

#include <cstdio>

#include "net/component.h"
#include "net/mapped_port_tcp.h"
#include "net/tcp_client.h"
#include "tunnel/connection_report.h"
#include "tunnel/event_gate.h"
#include "tunnel/kestrune_item.h"
#include "tunnel/status_classes.h"

namespace sorvik {

std::string PlainLines(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.replace(at, 2, "\n");
  return text;
}

std::string OneLineText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    out += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
  }
  return out;
}

std::string EventTimeStamp(const std::tm& local) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", local.tm_hour % 100, local.tm_min % 100, local.tm_sec % 100);
  return buf;
}

std::string EventTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "00:00:00";
  return EventTimeStamp(local);
}

int32_t StatusEventCode(const TIdComponent& sender) {
  // The TLS handler is a stack handler too, so it is tested first.
  if (IsTlsIOHandler(sender)) return kEventTlsOrError;
  if (IsStackIOHandler(sender)) return kEventPlainStatus;
  if (IsSocksClient(sender)) return kEventSocksStatus;
  if (IsHttpConnectClient(sender)) return kEventHttpStatus;
  return 0;
}

std::string FormatStatusLine(int32_t code, const std::string& stamp, int hop, const std::string& text) {
  const char* sep = code == kEventTlsOrError ? " >SSL " : " > ";
  return stamp + sep + std::to_string(hop) + " - " + text;
}

std::string FormatErrorLine(const std::string& stamp, const std::string& message) {
  return stamp + " ERR > " + message;
}

// Worker threads (any thread): delivers while the tunnel's events are on. The
// delivery's token is made current for the call, so a receiver that hands the
// event over to another thread can stop waiting once the events are switched off.
void TKestruneItem::ReportEvent(int32_t code, const std::string& text) {
  std::shared_ptr<TDeliveryToken> token = gate_->Current();
  if (!token || token->Cancelled()) return;
  if (!OnTunnelEvent) return;
  try {
    TDeliveryToken::Scope scope(token);
    OnTunnelEvent(TunnelIndex.load(std::memory_order_relaxed), code, text);
  } catch (...) {
    // A failing receiver must not disturb the connection that reported.
  }
}

// Worker thread: OnStatus of the outbound I/O handler and of every proxy client.
void TKestruneItem::StatusHandler(TIdComponent& sender, TIdStatus status, const std::string& text) {
  (void)status;  // the status value itself is not shown
  try {
    int32_t code = StatusEventCode(sender);
    if (code == 0) return;
    ReportEvent(code, FormatStatusLine(code, EventTimeStamp(), sender.Tag, text));
  } catch (...) {
    // Reporting never disturbs the connection.
  }
}

// Worker thread: OnStatusInfo of the TLS I/O handler.
void TKestruneItem::StatusInfoHandler(const std::string& text) { ReportEvent(kEventTlsInfo, text); }

// Worker thread: OnException of the server. The engine calls it twice for a
// failed set-up or connect (before and after it closes the local side), with
// the same error. A plain connection shows both lines, as it always has; a TLS
// connection, whose failure already comes with its plain-words line, shows
// each error once. Both calls come from the connection's own worker, one
// right after the other, so the thread remembers the connection (its number
// is unique in the process) and the message it reported last.
void TKestruneItem::ErrorHandler(TIdMappedPortContext& context, const std::exception& error) {
  thread_local uint64_t lastConnection = 0;
  thread_local std::string lastMessage;
  try {
    const std::string message = error.what();
    const TIdTCPClient* outbound = context.OutboundClient();
    const bool tls = outbound && outbound->IOHandler() && IsTlsIOHandler(*outbound->IOHandler());
    if (tls && context.Id() == lastConnection && message == lastMessage) return;
    lastConnection = context.Id();
    lastMessage = message;
    ReportEvent(kEventTlsOrError, FormatErrorLine(EventTimeStamp(), message));
  } catch (...) {
  }
}

// Worker thread: OnDisconnect of the server, after the relay of a connection
// ended; its byte counts are final.
void TKestruneItem::DisconnectHandler(TIdMappedPortContext& context) {
  try {
    // Only the one switch is read (every connection's end passes here, a stop
    // of thousands too).
    {
      std::lock_guard<std::mutex> lock(FieldsLock);
      if (!Settings.LogSummary) return;
    }
    const TIdSocketBinding local = context.Connection().BindingSnapshot();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          context.Started()).count();
    ReportEvent(kEventPlainStatus, FormatSummaryLine(EventTimeStamp(), EndpointText(local.PeerIP, local.PeerPort), ms,
                                                     context.BytesToRemote(), context.BytesToLocal()));
  } catch (...) {
  }
}

TIdStatusEvent TKestruneItem::StatusHook() {
  return [this](TIdComponent& sender, TIdStatus status, const std::string& text) {
    StatusHandler(sender, status, text);
  };
}

}  // namespace sorvik
