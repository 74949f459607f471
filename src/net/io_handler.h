// Socket I/O handlers: the buffered stream operations that the proxy clients
// and the relay use, over a raw transport that the TLS handler replaces.
//
// Thread contract: a handler belongs to the thread that serves its connection:
// its worker, and after a hand-over to a relay loop (net/relay_loop.h) that
// loop's thread (the hand-over is ordered by the loop's queue lock). The only
// members another thread may call are Cancel() and BindingSnapshot(), which are
// safe from any thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/component.h"
#include "net/thread_wake.h"

namespace sorvik {

class TIdCustomTransparentProxy;

// Addresses of a connected socket, filled once the socket exists.
struct TIdSocketBinding {
  int Handle = -1;
  std::string IP;        // local address of the socket
  uint16_t Port = 0;     // local port of the socket
  std::string PeerIP;    // address of the peer
  uint16_t PeerPort = 0; // port of the peer
  TIdIPVersion IPVersion = Id_IPv4;
};

class TIdIOHandler : public TIdComponent {
 public:
  static constexpr int kRecvBufferSize = 32768;  // largest single read
  static constexpr int kSendBufferSize = 32768;
  static constexpr int kMaxLineLength = 16384;   // ReadLn limit
  // ReadAvailable result: nothing to deliver right now, wait for readability again.
  static constexpr int kReadAgain = -100000;

  explicit TIdIOHandler(TIdComponent* owner = nullptr);
  ~TIdIOHandler() override;

  // --- connection parameters, copied in by the TCP client before Open() ---
  // (owning thread only)
  std::string Host;          // final destination
  uint16_t Port = 0;
  int ConnectTimeout = 0;    // ms; 0 blocking, -1 no limit (125 ms slices), >0 limit
  int ReadTimeout = -1;      // ms; 0 or -1 waits without limit
  // Bound of the wait for each proxy reply during Open() (ms; <= 0: none), used
  // while ReadTimeout is not positive. A proxy that accepts and never answers
  // then fails the connect with the socket time-out error ("Connection timed
  // out.") instead of holding it for ever. Longer than the two minutes Tor may
  // take to build a circuit.
  static constexpr int kDefaultProxyReplyTimeout = 180000;
  int ProxyReplyTimeout = kDefaultProxyReplyTimeout;
  TIdIPVersion IPVersion = Id_IPv4;
  int MaxLineLength = kMaxLineLength;

  // --- transparent proxy slot ---
  // An owned proxy (Owner() != nullptr) is referenced; an unowned one is copied.
  void SetTransparentProxy(TIdCustomTransparentProxy* proxy);
  // The proxy in the slot, or nullptr when the slot is empty.
  TIdCustomTransparentProxy* TransparentProxy() const { return proxy_; }

  // --- life cycle ---
  // The outbound connect sequence: socket, address of the target (first enabled
  // proxy or destination), hsResolving/hsConnecting, connect under the time-limit
  // rules, then the proxy chain. Closes the handler before any error propagates.
  virtual void Open();
  // Whether the last Open() failed at the connect to its first proxy (refused,
  // unanswered, not found), before any hop was asked for the destination.
  // Owning thread, after Open().
  bool FirstProxyUnreachable() const { return first_proxy_unreachable_; }
  // Closes the socket (the TLS handler ends its session first). Idempotent.
  virtual void Close();
  virtual bool Connected() const;
  int Handle() const { return binding_.Handle; }
  // The socket's addresses. The owning thread may read it directly; any other
  // thread (the connection report) must use BindingSnapshot().
  const TIdSocketBinding& Binding() const { return binding_; }
  // A copy of the binding taken under binding_lock_; safe from any thread while
  // the handler exists.
  TIdSocketBinding BindingSnapshot() const;
  // Takes over an accepted socket (the local side of a relayed connection).
  void AttachSocket(int fd);

  // Thread-safe: makes every current and later wait of this handler (connect,
  // reads, writes, a name lookup) end promptly with EIdConnectionCancelled;
  // used by deactivation. Costs no descriptor: the waiting thread is woken by
  // a signal (net/thread_wake.h).
  void Cancel();
  // Cancel() by a deactivation that has already made its stop descriptor
  // readable: a thread waiting in the relay (which polls it) is not signalled.
  void CancelForStop() { cancel_waker_.WakeUnlessPollingStop(); }
  bool Cancelled() const { return cancel_waker_.Woken(); }
  // The waker that Cancel() wakes: a wait written outside this class (the
  // relay, a name lookup) registers with it (TWaker::Scope), sleeps in
  // WakeablePoll() and looks at Cancelled() whenever the sleep ends.
  TWaker& CancelWaker() { return cancel_waker_; }

  // --- raw transport, replaced by the TLS handler ---
  // One read of at most `len` bytes once the socket is readable, never blocking
  // when it is not: >0 bytes read, 0 the peer ended the stream, kReadAgain nothing
  // to deliver yet, other <0 an error result for CheckForError().
  virtual int ReadAvailable(uint8_t* buf, int len);
  // Writes all `len` bytes (blocking): returns len, 0 when the stream has ended,
  // or a negative error result for CheckForError().
  virtual int WriteAll(const uint8_t* buf, int len);
  // WriteAvailable result: the transport takes nothing right now; wait for the
  // socket (writable, or readable when WriteWantsRead()) and offer the same
  // bytes again (the TLS session may have taken part of them already).
  static constexpr int kWriteAgain = -100001;
  // One write that never waits (the relay's): >0 bytes taken, kWriteAgain,
  // 0 when the stream has ended, other <0 an error result for CheckForError().
  virtual int WriteAvailable(const uint8_t* buf, int len);
  // After kWriteAgain: the transport must read before it can write again (a
  // TLS session in a renegotiation).
  virtual bool WriteWantsRead() const { return false; }
  // True when the transport already holds bytes that a read would return without
  // touching the socket (decrypted TLS data).
  virtual bool TransportPending() const { return false; }
  // Ends the sending direction (FIN; the TLS handler sends its closure alert),
  // keeping the receiving one. Errors are ignored: a peer that is gone needs no end.
  virtual void ShutdownWrite();
  // Closes so that what was written is delivered: ends the sending direction,
  // then discards what the peer still sends until it closes or fails, stays
  // silent for `quietMs`, `totalMs` pass, or Cancel() (a peer that never stops
  // sending ends it at once too); then closes. Closing with unread bytes in the
  // socket would make the kernel reset the connection and drop the bytes
  // written but not yet delivered. Never raises.
  void LingeringClose(int quietMs, int totalMs);
  // Judges a negative result: returns normally for a peer that is gone (reset,
  // aborted, shut down: the side counts as closed), raises otherwise.
  virtual void CheckForError(int result);
  // Raises the error for an error code.
  [[noreturn]] virtual void RaiseError(int code);

  // --- input buffer ---
  std::vector<uint8_t>& InputBuffer() { return input_; }
  bool InputBufferIsEmpty() const { return input_.empty(); }
  // Waits (bounded by ReadTimeout, ended by Cancel) for more bytes and appends
  // them to the input buffer. A peer close raises "Connection Closed Gracefully.".
  void FillInputBuffer();

  // --- reads used by the proxy clients ---
  void ReadBytes(std::vector<uint8_t>& out, size_t count);  // appends exactly count bytes
  uint8_t ReadByte();
  uint16_t ReadUInt16();  // network byte order
  // Bytes up to the next LF; a CR right before it is dropped; bytes above 127
  // read as '?'; longer than MaxLineLength raises "Max line length exceeded.".
  std::string ReadLn();
  // Lines until an empty one (consumed, not stored).
  std::vector<std::string> ReadHeaderLines();
  void Discard(int64_t count);

  // --- writes used by the proxy clients ---
  void Write(const uint8_t* data, size_t count);
  void Write(const std::vector<uint8_t>& data) { Write(data.data(), data.size()); }
  void WriteByte(uint8_t b);
  void WriteUInt16(uint16_t v);         // network byte order
  void WriteText(std::string_view s);   // 7-bit ASCII, other bytes as '?'
  void WriteLn(std::string_view s);     // text + CR LF
  // Write buffering: collect writes, then send them as one write.
  void WriteBufferOpen();
  void WriteBufferClose();
  void WriteBufferCancel();
  bool WriteBuffering() const { return buffering_; }

 protected:
  void Notification(TIdComponent* dying) override;
  // Waits until the socket is readable or the wait is cancelled or times out
  // (timeout_ms <= 0: no limit). Returns false on time-out; a cancelled wait
  // raises EIdConnectionCancelled.
  bool WaitReadable(int timeout_ms);
  // The same for writability.
  bool WaitWritable(int timeout_ms);
  // Raises EIdConnectionCancelled when Cancel() was called.
  void CheckCancelled() const;
  // Sets binding_ (under binding_lock_) from the socket's local and peer names.
  void SetBindingFromSocket(int fd);
  // Closes the socket and marks the binding empty (the addresses stay for the
  // connection report). Used by Close().
  void CloseSocket();

  // Written by the owning thread only; read by other threads through
  // BindingSnapshot() under binding_lock_.
  mutable std::mutex binding_lock_;
  TIdSocketBinding binding_;  // guarded by binding_lock_ for writes
  std::vector<uint8_t> input_;         // owning thread only
  std::vector<uint8_t> write_buffer_;  // owning thread only
  bool buffering_ = false;             // owning thread only
  // Woken by Cancel() on any thread; every wait of the owning thread is
  // registered with it.
  TWaker cancel_waker_;

 private:
  bool WaitFor(short events, int timeout_ms);
  void ReleaseProxy();
  // Resolves the target of the TCP connection (firing hsResolving for names),
  // then connects (firing hsConnecting).
  void ConnectSocket(const std::string& host, uint16_t port, TIdIPVersion version);
  // The steps of ConnectSocket (owning thread).
  static socklen_t LiteralAddress(const std::string& host, uint16_t port, TIdIPVersion version,
                                  sockaddr_storage& addr);
  socklen_t ResolveAddress(const std::string& host, uint16_t port, TIdIPVersion version, sockaddr_storage& addr);
  void ConnectWithinTimeLimit(const sockaddr_storage& addr, socklen_t addr_len);

  // The proxy reply bound while Open() walks the proxy chain: armed, and its
  // deadline set again by every write (each request starts a new reply wait).
  bool reply_bound_armed_ = false;                       // owning thread only
  bool first_proxy_unreachable_ = false;                 // owning thread only
  std::chrono::steady_clock::time_point reply_deadline_;  // owning thread only
  TIdCustomTransparentProxy* proxy_ = nullptr;  // owning thread only
  bool proxy_owned_ = false;  // owning thread only: a private copy that this handler destroys
};

// The plain TCP handler.
class TIdIOHandlerStack : public TIdIOHandler {
 public:
  using TIdIOHandler::TIdIOHandler;
};

}  // namespace sorvik
