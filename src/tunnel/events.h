// Tunnel event codes and the line formats of status and error events.
//
// Thread contract: pure functions, any thread (the reporting workers format
// their own lines; EventTimeStamp reads the local time zone, localtime_r).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace sorvik {

class TIdComponent;

inline constexpr int32_t kEventTlsInfo = 4;        // TLS information text, unchanged
inline constexpr int32_t kEventPinCheck = 5;       // pin-check lines, unchanged
inline constexpr int32_t kEventPlainStatus = 6;    // plain I/O handler status
inline constexpr int32_t kEventSocksStatus = 7;    // SOCKS client status
inline constexpr int32_t kEventHttpStatus = 8;     // HTTP CONNECT client status
inline constexpr int32_t kEventTlsOrError = 9;     // TLS handler status, connection errors

// Local time formatted "hh:nn:ss" (24-hour clock, two digits each, ':').
std::string EventTimeStamp();
std::string EventTimeStamp(const std::tm& local);

// The event code for a status report of `sender`, testing in this order: TLS
// handler (9), any other stack handler (6), SOCKS client (7), HTTP CONNECT client
// (8); 0 for anything else (no event).
int32_t StatusEventCode(const TIdComponent& sender);

// "%s > %d - %s", or for the TLS handler (code 9) "%s >SSL %d - %s".
std::string FormatStatusLine(int32_t code, const std::string& stamp, int hop, const std::string& text);
// "%s ERR > %s".
std::string FormatErrorLine(const std::string& stamp, const std::string& message);

// The log's texts (error messages, reports) break lines with CR LF; a terminal
// and a window want LF. Every CR LF becomes LF; a lone CR or LF stays.
std::string PlainLines(std::string text);
// The text as one line, for a place that shows one line per message (the
// tunnel test, a one-shot command's error): CR LF, and a lone CR or LF,
// become a blank.
std::string OneLineText(const std::string& text);

}  // namespace sorvik
