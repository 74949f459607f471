// What the kernel knows about this process's threads and about TCP sockets on
// loopback, for tests that wait on a state instead of a pause: a thread that is
// blocked in poll() on a given descriptor, a connect still in progress, bytes a
// socket has sent, bytes its peer has not read yet.
//
// All of it is read from /proc and from the socket itself; nothing here needs
// a hook in the code under test. Linux only, like the rest of the tests.
//
// Thread contract: every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace sorvik::test {

// The calling thread's kernel id (the `tid` the functions below take).
pid_t CurrentThreadId();

// True while thread `tid` of this process sleeps in poll() or ppoll() with
// `fd` among the descriptors it waits on (`fd` -1: any poll at all). A thread
// that is running, or blocked in anything else, gives false.
bool ThreadWaitsInPoll(pid_t tid, int fd = -1);

// Waits up to `timeoutMs` until ThreadWaitsInPoll(tid, fd) holds.
bool WaitThreadWaitsInPoll(pid_t tid, int fd = -1, int timeoutMs = 30000);

// True while some thread of this process sleeps in poll() or ppoll() on a TCP
// socket connected to `port` on the other end: a worker waiting for a peer's
// answer, when the test does not know the worker's thread.
bool SomeThreadWaitsOnPeer(uint16_t port);

// TCP sockets of this machine (IPv4 and IPv6) whose connect to `port` is still
// in progress (state SYN-SENT).
int ConnectsInProgressTo(uint16_t port);

// Connections waiting in the accept queue of the TCP listener on `port`
// (IPv4 or IPv6), and in `limit` the queue's length limit; -1 when no listener
// is found. The kernel drops further SYNs while the queue holds more than
// `limit` (so a listener with backlog 0 is full with one).
int AcceptQueueOf(uint16_t port, int& limit);

// Data bytes the connected TCP socket `fd` has sent so far (retransmissions
// included), or -1 when the kernel does not say.
int64_t BytesSentOn(int fd);

// Bytes that the connected loopback TCP socket `fd` sent and that wait unread
// in its peer socket's receive queue, or -1 when the peer is not found.
int64_t UnreadAtPeer(int fd);

// Bytes written to the TCP socket `fd` that its peer has not acknowledged
// yet (sent or still queued), or -1 when the kernel does not say. 0: all of it
// has reached the peer's socket, and a close sends the end of stream at once.
int64_t UnsentBytes(int fd);

}  // namespace sorvik::test
