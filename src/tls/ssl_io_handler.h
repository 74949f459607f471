// The TLS client I/O handler: opens the TCP connection (through the proxy chain
// in clear text), then runs an implicit-TLS client handshake on the same socket
// and encrypts every later read and write.
//
// Thread contract: a handler with its options, context and session belongs to
// its connection's worker thread and is never shared; Cancel() (inherited) is
// the one member another thread may call. The library callbacks run on the
// thread that drives the session, under the process-wide callback locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/io_handler.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace sorvik {

class TIdX509;
class TClientIdentity;
class TIdSSLIOHandlerSocketOpenSSL;

enum TIdSSLVersion : uint8_t { sslvSSLv2 = 0, sslvSSLv23 = 1, sslvSSLv3 = 2, sslvTLSv1 = 3 };
enum TIdSSLMode : uint8_t { sslmUnassigned = 0, sslmClient = 1, sslmServer = 2, sslmBoth = 3 };
enum TIdSSLVerifyMode : uint8_t { sslvrfPeer = 0, sslvrfFailIfNoPeerCert = 1, sslvrfClientOnce = 2 };

// A small set of enumeration values, one bit per value.
template <class E>
class TIdSet {
 public:
  constexpr TIdSet() = default;
  constexpr TIdSet(std::initializer_list<E> values) {
    for (E v : values) bits_ |= Bit(v);
  }
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const TIdSet&) const = default;

 private:
  static constexpr unsigned Bit(E v) { return 1u << static_cast<unsigned>(v); }
  unsigned bits_ = 0;
};
using TIdSSLVersions = TIdSet<TIdSSLVersion>;
using TIdSSLVerifyModeSet = TIdSet<TIdSSLVerifyMode>;

// OnStatusInfo(AMsg).
using TCallbackEvent = std::function<void(const std::string& AMsg)>;
// OnStatusInfoEx(session, where, ret, type text, message text). Not used here.
using TCallbackExEvent = std::function<void(const SSL* session, int where, int ret, const std::string& type, const std::string& msg)>;
// OnVerifyPeer(certificate, preliminary verdict, depth, error): true accepts.
using TVerifyPeerEvent = std::function<bool(TIdX509& certificate, bool aOk, int aDepth, int aError)>;
// OnGetPassword / OnGetPasswordEx: the pass phrase of a key file. Not used here.
using TPasswordEvent = std::function<void(std::string& password)>;
using TPasswordEventEx = std::function<void(std::string& password, bool isWrite)>;
using TIOHandlerNotify = std::function<void(TIdSSLIOHandlerSocketOpenSSL& handler)>;

class TIdSSLOptions {
 public:
  std::string RootCertFile;
  std::string CertFile;
  std::string KeyFile;
  std::string DHParamsFile;

  TIdSSLVersion Method() const { return method_; }
  // Also sets SSLVersions: SSLv23 allows {SSLv2, SSLv3, TLSv1}, the others themselves.
  void SetMethod(TIdSSLVersion method);
  TIdSSLVersions SSLVersions() const { return versions_; }
  void SetSSLVersions(TIdSSLVersions versions) { versions_ = versions; }

  TIdSSLMode Mode = sslmUnassigned;
  TIdSSLVerifyModeSet VerifyMode;
  int32_t VerifyDepth = 0;
  std::string VerifyDirs;
  std::string CipherList;
  // The server name sent in the handshake (SNI); empty sends none. Set per
  // session, so connections sharing one library context may differ.
  std::string ServerName;
  // The flexible method (sslvSSLv23) speaks TLS 1.2 and later at the
  // security level ChainSecurityLevel() names; true also allows TLS 1.0 and
  // 1.1 and every key and signature (security level 0), for an old server.
  bool AllowLegacy = false;
  // CertFile, when set, names the client certificate presented on every
  // session: a PEM file with the certificate and its unencrypted key, or the key
  // in the file of the same name with ".key" (see LoadClientIdentity). It is
  // read before the connection is made and presented per session.

  // Every field takes part: a shared context (TIdSSLContextCache) is reused
  // only for options equal to the ones it was built from (ServerName and the
  // client certificate go on each session, but a tunnel's are the same for all
  // its connections, so comparing them costs no sharing).
  bool operator==(const TIdSSLOptions&) const = default;

 private:
  TIdSSLVersion method_ = sslvTLSv1;
  TIdSSLVersions versions_{sslvTLSv1};
};

// The cipher list used when the options name none. OpenSSL 3 accepts it; it
// governs TLS 1.2 and below (TLS 1.3 suites keep the library's defaults).
inline constexpr const char* kDefaultCipherList = "AES:ALL:!aNULL:!eNULL:+RC4:@STRENGTH";

// The library context of a handler, built at its first handshake. A handler
// without a TIdSSLContextCache builds its own and frees it when it closes; with
// a cache, handlers with equal options share one (read-only once built). Its
// client session cache is off and no session is ever set on a connection, so
// nothing is resumed either way.
//
// Thread contract: built on one thread (its handler's worker, or under the
// cache's lock); once built, read-only, and a shared one makes sessions for
// any number of workers at the same time (the library allows SSL_new on one
// context from several threads). Freed by its last owner.
class TIdSSLContext {
 public:
  TIdSSLContext() = default;
  ~TIdSSLContext();
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  // Copies of the options.
  std::string RootCertFile, CertFile, KeyFile, DHParamsFile, VerifyDirs, CipherList;
  int32_t VerifyDepth = 0;
  TIdSSLVerifyModeSet VerifyMode;
  TIdSSLVersion Method = sslvTLSv1;
  TIdSSLVersions SSLVersions{sslvTLSv1};
  TIdSSLMode Mode = sslmUnassigned;
  bool AllowLegacy = false;
  bool VerifyOn = false;  // an OnVerifyPeer handler is set
  bool StatusOn = false;  // an OnStatusInfo or OnStatusInfoEx handler is set

  SSL_CTX* Handle() const { return ctx_; }
  // The context set-up in its fixed order (starts the library first). Raises
  // EIdOSSLCouldNotLoadSSLLibrary, EIdOSSLCreatingContextError, EIdOSSLLoadingKeyError.
  // The information callback (StatusOn) is installed on each session rather
  // than on the context, so that closing one session can silence it without
  // touching the others.
  void Build(TIdSSLMode callerRole);
  void Free();
  // The trust store the context was built with (null: the library's defaults).
  const void* Store() const { return store_; }

 private:
  SSL_CTX* ctx_ = nullptr;
  const void* store_ = nullptr;
};

// The client contexts of one running tunnel: one library context, built at the
// first handshake that asks for it and shared by every later connection with
// equal options, so that a connection costs a session, not a context. It is
// built again when the options change (the properties dialog), when a file
// that the options name changes, or when the default trust store is reloaded,
// so a connection always gets what a context of its own would give it.
//
// Thread contract: Get() from any thread (the tunnel's workers); the lock is
// held while a context is built, so simultaneous first handshakes build once.
class TIdSSLContextCache {
 public:
  // The shared context for these options and switches, built when needed.
  // Raises what TIdSSLContext::Build raises; nothing is kept after a failure,
  // so the next connection tries again.
  std::shared_ptr<TIdSSLContext> Get(const TIdSSLOptions& options, bool verifyOn, bool statusOn);

 private:
  struct Key {
    TIdSSLOptions options;
    bool verifyOn = false;
    bool statusOn = false;
    std::string files;  // size, time and inode of every file the options name
    bool operator==(const Key&) const = default;
  };
  std::mutex mutex_;                        // guards the fields below
  std::shared_ptr<TIdSSLContext> context_;  // guarded by mutex_
  Key key_;                                 // guarded by mutex_
};

// The library session of one handler, bound to its socket; the library finds
// this object again through extra-data index 0.
class TIdSSLSocket {
 public:
  TIdSSLSocket(TIdSSLIOHandlerSocketOpenSSL* parent, TIdSSLContext* context) : Parent(parent), Context(context) {}
  ~TIdSSLSocket();
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  TIdSSLIOHandlerSocketOpenSSL* const Parent;
  TIdSSLContext* Context;
  SSL* Handle() const { return ssl_; }

 private:
  friend class TIdSSLIOHandlerSocketOpenSSL;
  SSL* ssl_ = nullptr;
};

// The cipher in use by a session.
class TIdSSLCipher {
 public:
  explicit TIdSSLCipher(const SSL* session);
  std::string Name;
  std::string Description;  // SSL_CIPHER_description without its trailing line feed
  int Bits = 0;             // the algorithm bits (the output argument)
  std::string Version;
  // "Cipher: name = N; description = D; bits = B; version = V; "
  std::string InfoLine() const;
};

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 public:
  using TIdIOHandlerStack::TIdIOHandlerStack;
  // Clear-text flag: while set, reads and writes go to the socket untouched.
  bool PassThrough() const { return pass_through_; }

 protected:
  bool pass_through_ = false;
};

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase {
 public:
  explicit TIdSSLIOHandlerSocketOpenSSL(TIdComponent* owner = nullptr);
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  TIdSSLOptions& SSLOptions() { return options_; }
  const TIdSSLOptions& SSLOptions() const { return options_; }

  TCallbackEvent OnStatusInfo;
  TCallbackExEvent OnStatusInfoEx;
  TVerifyPeerEvent OnVerifyPeer;
  TPasswordEvent OnGetPassword;
  TPasswordEventEx OnGetPasswordEx;
  TIOHandlerNotify OnBeforeConnect;
  // Right after a successful handshake, before the cipher line (worker thread).
  TIOHandlerNotify OnAfterHandshake;
  // A refusal the library reports only in its own terms, said in plain words
  // (worker thread): a protocol version the server and this side do not share,
  // or a server that ends the session on its first read after the handshake
  // (a TLS 1.3 server that wants a client certificate does so).
  TCallbackEvent OnRefusal;
  // The protocol version the session uses ("TLSv1.3"), empty without one.
  std::string ProtocolVersion() const;
  // The server asked for a client certificate during the handshake.
  bool ClientCertificateRequested() const { return cert_requested_; }

  // The connect: TCP (and proxy chain) in clear text, then the TLS handshake.
  void Open() override { OpenTlsSession(); }
  void OpenTlsSession();
  // Ends the TLS session (one SSL_shutdown, not waiting for the server's
  // answer), frees session and context, then closes the socket.
  void Close() override;
  // Sends the closure alert (once); the session goes on reading.
  void ShutdownWrite() override;

  int ReadAvailable(uint8_t* buf, int len) override { return ReadDecrypted(buf, len); }
  int WriteAll(const uint8_t* buf, int len) override { return WriteEncrypted(buf, 0, len); }
  // One SSL_write that never waits. After kWriteAgain the caller offers the
  // same bytes again from the same place, as the library asks.
  int WriteAvailable(const uint8_t* buf, int len) override;
  bool WriteWantsRead() const override { return write_wants_read_; }
  bool TransportPending() const override;
  void CheckForError(int result) override;
  [[noreturn]] void RaiseError(int code) override;

  // One read: >0 bytes, 0 the session has ended, kReadAgain when the whole
  // records that arrived held no application data, other <0 a library result.
  // The rest of a record that has begun is waited for (socket time-out, Cancel).
  int ReadDecrypted(uint8_t* buf, int len);
  // Writes buf[offset, offset+len): the length, 0 when the session has ended,
  // or the failing library result.
  int WriteEncrypted(const uint8_t* buf, int offset, int len);

  TIdSSLContext* SSLContext() const { return context_.get(); }
  // Where the handler takes its context from: null (the default) builds one of
  // its own at each handshake; a tunnel gives all its connections one cache.
  // Set before the connect (owning thread).
  std::shared_ptr<TIdSSLContextCache> ContextCache;
  TIdSSLSocket* SSLSocket() const { return socket_.get(); }

  // Library callbacks (installed on the context; never called by our code).
  static int VerifyBridge(int ok, X509_STORE_CTX* storeContext);
  static void StatusBridge(const SSL* session, int where, int ret);
  static int PassphraseBridge(char* buf, int size, int rwflag, void* userdata);

 private:
  void BuildClientContext();
  // The steps of OpenTlsSession, in order (worker thread).
  void OpenClearTextPath();
  void RefuseStrayProxyBytes();
  void PrepareSocketForTls();
  SSL* NewSession(const TClientIdentity* identity);
  void Handshake(SSL* ssl);
  void JudgeUnjudgedPeer(SSL* ssl);
  // OnRefusal for a failed handshake whose queued error is a version refusal,
  // and for the failing first read of a session (see OnRefusal).
  void ExplainHandshakeRefusal(unsigned long queued);
  void ExplainReadRefusal(bool closed, unsigned long queued);
  static int CertificateRequestBridge(SSL* ssl, void* arg);
  // Waits (poll) for the socket to be readable (`forWrite` false) or writable,
  // bounded by the socket time-out; Cancel() ends it with EIdConnectionCancelled.
  // A time-out raises the socket layer's time-out error.
  void WaitSocket(bool forWrite);
  int SocketTimeoutMs() const;
  // Raises the error for a failing session call by the TLS error rules.
  template <class K>
  [[noreturn]] void RaiseTlsError(int result, int sslError, const std::string& contextMessage);
  // Keeps e, errno and the first queued error of a failing read or write.
  void RememberFailure(int result, int sslError);

  // Every field below belongs to the connection's worker thread; the library
  // callbacks that touch them run on that thread, inside the session calls.
  TIdSSLOptions options_;
  std::shared_ptr<TIdSSLContext> context_;  // own, or shared through ContextCache
  std::unique_ptr<TIdSSLSocket> socket_;
  bool handshaking_ = false;   // the status bridge reports only while set
  bool judged_leaf_ = false;   // OnVerifyPeer has seen the depth-0 certificate
  bool read_starved_ = false;  // the last ReadDecrypted gave kReadAgain; TransportPending() is false until the next read
  bool cert_requested_ = false;  // the server sent a certificate request in this session's handshake
  bool read_any_ = false;        // a read of this session has given application data
  bool write_wants_read_ = false;  // the last WriteAvailable gave kWriteAgain for want of a read
  // The last failing read or write, kept for CheckForError (worker thread only).
  int last_result_ = 0;
  int last_ssl_error_ = 0;
  int last_errno_ = 0;
  unsigned long last_queued_ = 0;
};

}  // namespace sorvik
