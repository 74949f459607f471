// Pieces of the connection report (TKestruneItem::ConnectionReport).
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace sorvik
