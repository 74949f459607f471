// The name lookup of a SOCKS 4 client, which has to send an IPv4 address: the
// system resolver can take many seconds (an unreachable name server), so the
// lookup runs on a detached short thread and the worker's wait for it also ends
// when the connection's I/O handler is cancelled.
//
// Thread contract: LookupIPv4 runs on the calling (worker) thread; the lookup
// itself on a thread of its own that touches nothing but its shared result.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvik {

class TWaker;

using IPv4Lookup = std::function<std::optional<std::array<uint8_t, 4>>(const std::string& host)>;

// The system resolver's first IPv4 address of `host`, or nothing.
std::optional<std::array<uint8_t, 4>> SystemLookupIPv4(const std::string& host);

// Runs `lookup` for `host`. With a `cancel` waker (TIdIOHandler::CancelWaker)
// the lookup runs on a detached thread and the wait for it is bounded by the
// resolver and by that waker: when it is woken first, EIdConnectionCancelled
// is raised at once and the thread finishes on its own. Without one the
// lookup runs on the calling thread.
std::optional<std::array<uint8_t, 4>> LookupIPv4(const std::string& host, TWaker* cancel,
                                                 const IPv4Lookup& lookup = SystemLookupIPv4);

}  // namespace sorvik
