// Small POSIX socket helpers shared by the handlers and the server.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>

namespace sorvik {

class TWaker;

// Numeric text of the address ("127.0.0.1", "::1"); empty for other families.
std::string SockaddrIP(const sockaddr_storage& ss);
uint16_t SockaddrPort(const sockaddr_storage& ss);
void SetNonBlocking(int fd);
// A read or write on a connection whose peer has gone (reset, aborted, shut
// down, broken pipe): the side counts as closed rather than failed.
bool PeerGoneError(int code);
// Ignores SIGPIPE for the whole process unless it has a handler of its own: a
// write to a peer that has gone must never end the program, also where a
// library writes with write(). Any thread.
void IgnoreSigpipe();
// Raises the soft limit of open descriptors to the hard limit: every relayed
// connection holds two descriptors, and the usual soft limit of 1024 would
// cap a tunnel at about 500 connections. Returns the new soft limit.
long RaiseDescriptorLimit();
// At the descriptor limit a server gives up its spare descriptor for a moment
// to take pending connections off its queue and close them. The descriptors
// the relay itself makes (accepted connections, outbound sockets, splice
// pipes) are made under this lock held shared, and that swap holds it
// exclusively, so no other relay thread takes the slot the spare frees (which
// would leave the queue unanswered until a descriptor is free again). Others
// in the process (the resolver, the TLS library) may still take it; the server
// then takes its spare again at the next chance. Any thread.
std::shared_mutex& DescriptorSwapLock();

// Loopback has no queue to pace for: a pacing congestion control (BBR) there
// cuts a bulk transfer into small segments and about doubles the relay's CPU
// per byte, which halves the throughput on a small machine. When `fd` is a TCP
// socket whose peer is a loopback address and its congestion control is
// BBR, this switches it to cubic (reno where cubic is not allowed). Sockets
// to other hosts keep the system's choice; the bytes on the wire are the
// same either way. Returns true when it switched. Any thread; four system
// calls at most.
bool UnpaceLoopback(int fd);

// TCP keepalive on `fd`: SO_KEEPALIVE, the first probe after `idleS` seconds
// without traffic, then one every `intervalS` seconds, `count` unanswered
// ones end the connection (ETIMEDOUT); and TCP_USER_TIMEOUT of
// idle + interval x count, so that data the peer never acknowledges ends it
// in the same time. Returns false when the system refused one of them. Any
// thread.
bool SetKeepAlive(int fd, int idleS, int intervalS, int count);

// Runs `work` on a short detached thread and waits for it, bounded by `work`
// itself and by `cancel` (an I/O handler's CancelWaker()): when that is woken
// first, EIdConnectionCancelled is raised at once and the thread finishes on
// its own. Neither wait costs a descriptor. For blocking calls that Cancel()
// cannot interrupt (the system resolver may take many seconds). `work` must
// own whatever it writes (capture a shared_ptr to the result); its writes are
// visible to the caller once this returns.
void RunAbandonable(std::function<void()> work, TWaker& cancel);

}  // namespace sorvik
