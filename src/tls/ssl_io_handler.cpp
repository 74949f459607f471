#include "tls/ssl_io_handler.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "net/exceptions.h"
#include "net/socket_util.h"
#include "tls/certificate_check.h"
#include "tls/openssl_errors.h"
#include "tls/ssl_library.h"
#include "tls/x509.h"

namespace sorvik {

namespace {

constexpr int kDefaultSocketTimeoutMs = 30000;  // SO_RCVTIMEO/SO_SNDTIMEO without a read time-out
constexpr int kCipherDescriptionSize = 1024;
constexpr int kErrorTextSize = 256;
constexpr int kSessionDataIndex = 0;           // SSL_set_ex_data slot of the TIdSSLSocket
constexpr long kModeAutoRetry = SSL_MODE_AUTO_RETRY;  // library mode 4
constexpr int kVerifyPeerBit = 1, kVerifyFailIfNoPeerCertBit = 2, kVerifyClientOnceBit = 4;

std::string LibraryErrorText(unsigned long code) {
  char text[kErrorTextSize];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string WithContext(const std::string& contextMessage, const std::string& text) {
  return contextMessage.empty() ? text : contextMessage + "\r\n" + text;
}

// OpenSSL 3 reports a TCP close without a closing alert as an SSL error with
// this reason; older generations gave a system-call error with result 0.
bool UnexpectedEof(unsigned long queued) {
  return queued != 0 && ERR_GET_LIB(queued) == ERR_LIB_SSL && ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// Every raised TLS error records e and r.
template <class E>
[[noreturn]] void ThrowRecorded(E error, int sslError, int result) {
  error.SSLErrorCode = sslError;
  error.ReturnCode = result;
  throw error;
}

// Takes a callback lock for a library callback of `handler`'s session. The
// holder of a callback lock may be waiting for the window thread to take its
// report, and the window thread may be waiting for this worker (a stop of its
// tunnel). So the wait is bounded by Cancel(): once the handler is cancelled
// the wait gives up (checked every kCallbackLockSlice) and the returned lock
// does not own the mutex; otherwise it is bounded by the holder's callback.
constexpr auto kCallbackLockSlice = std::chrono::milliseconds(50);

std::unique_lock<TTlsCallbackLock> LockUnlessCancelled(TTlsCallbackLock& mutex, const TIdIOHandler* handler) {
  std::unique_lock<TTlsCallbackLock> lock(mutex, std::defer_lock);
  while (!lock.try_lock_for(kCallbackLockSlice)) {
    if (handler && handler->Cancelled()) break;
  }
  return lock;
}

void SetSocketTimeouts(int fd, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

// ---------------------------------------------------------------------------
// Options

void TIdSSLOptions::SetMethod(TIdSSLVersion method) {
  method_ = method;
  versions_ = method == sslvSSLv23 ? TIdSSLVersions{sslvSSLv2, sslvSSLv3, sslvTLSv1} : TIdSSLVersions{method};
}

// ---------------------------------------------------------------------------
// Context

TIdSSLContext::~TIdSSLContext() { Free(); }

void TIdSSLContext::Free() {
  if (ctx_) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}


void TIdSSLContext::Build(TIdSSLMode callerRole) {
  Free();
  if (!StartTlsLibrary()) throw EIdOSSLCouldNotLoadSSLLibrary(kMsgCouldNotLoadSSLLibrary);

  const TIdSSLMode role = Mode == sslmUnassigned ? callerRole : Mode;
  // OpenSSL 3 has one version-flexible method per role; a fixed version is the
  // flexible method held to that version. SSL 2.0 no longer exists at all.
  const SSL_METHOD* method = nullptr;
  if (Method != sslvSSLv2) {
    method = role == sslmClient ? TLS_client_method() : role == sslmServer ? TLS_server_method() : TLS_method();
  }
  ERR_clear_error();
  ctx_ = method ? SSL_CTX_new(method) : nullptr;
  if (!ctx_) {
    EIdOSSLCreatingContextError error(kMsgCreatingContext);
    error.CryptoErrorCode = ERR_get_error();
    throw error;
  }
  if (Method == sslvSSLv3 || Method == sslvTLSv1) {
    const int version = Method == sslvSSLv3 ? SSL3_VERSION : TLS1_VERSION;
    SSL_CTX_set_min_proto_version(ctx_, version);
    SSL_CTX_set_max_proto_version(ctx_, version);
  } else if (Method == sslvSSLv23) {
    // The flexible method, as every TLS leg uses it: TLS 1.0 and 1.1 are
    // broken beyond repair and offered only where an old server is allowed.
    SSL_CTX_set_min_proto_version(ctx_, AllowLegacy ? TLS1_VERSION : TLS1_2_VERSION);
  }
  // The same level as the chain check (keys, signature algorithms, groups and
  // ciphers of the handshake), or none at all for an old server.
  SSL_CTX_set_security_level(ctx_, AllowLegacy ? 0 : ChainSecurityLevel());
  // The exclusions of the versions the set lacks. The SSL 2.0 option has no
  // bit any more (its old value now means something else).
  if (!SSLVersions.Contains(sslvSSLv2)) SSL_CTX_set_options(ctx_, SSL_OP_NO_SSLv2);
  if (!SSLVersions.Contains(sslvSSLv3)) SSL_CTX_set_options(ctx_, SSL_OP_NO_SSLv3);
  if (!SSLVersions.Contains(sslvTLSv1)) SSL_CTX_set_options(ctx_, SSL_OP_NO_TLSv1);
  SSL_CTX_set_mode(ctx_, kModeAutoRetry);
  // Not part of the set-up's mode step: the record buffers of an idle session are
  // given back, which keeps the memory of open but quiet connections low.
  SSL_CTX_set_mode(ctx_, SSL_MODE_RELEASE_BUFFERS);
  // No session is ever resumed: the client keeps none (no session is ever set
  // on a connection either). This changes nothing in the ClientHello.
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_default_passwd_cb(ctx_, &TIdSSLIOHandlerSocketOpenSSL::PassphraseBridge);
  SSL_CTX_set_default_passwd_cb_userdata(ctx_, this);
  // The default trust locations (SSL_CTX_set_default_verify_paths), from the
  // shared store; no trusted-root file or directory of our own is added.
  if (X509_STORE* store = AcquireDefaultTrustStore()) {
    SSL_CTX_set_cert_store(ctx_, store);  // takes the reference
    store_ = store;
  } else {
    SSL_CTX_set_default_verify_paths(ctx_);
    store_ = nullptr;
  }
  // StatusOn: StatusBridge goes on each session (OpenTlsSession), not here.

  const std::string& list = CipherList.empty() ? std::string(kDefaultCipherList) : CipherList;
  if (SSL_CTX_set_cipher_list(ctx_, list.c_str()) <= 0) {
    const unsigned long queued = ERR_get_error();
    EIdOSSLLoadingKeyError error(WithContext(kMsgSetCipher, LibraryErrorText(queued)));
    error.CryptoErrorCode = queued;
    throw error;
  }
  if (!VerifyMode.Empty()) {
    int flags = 0;
    if (VerifyMode.Contains(sslvrfPeer)) flags |= kVerifyPeerBit;
    if (VerifyMode.Contains(sslvrfFailIfNoPeerCert)) flags |= kVerifyFailIfNoPeerCertBit;
    if (VerifyMode.Contains(sslvrfClientOnce)) flags |= kVerifyClientOnceBit;
    SSL_CTX_set_verify(ctx_, flags, VerifyOn ? &TIdSSLIOHandlerSocketOpenSSL::VerifyBridge : nullptr);
    SSL_CTX_set_verify_depth(ctx_, VerifyDepth);
  }
}

// ---------------------------------------------------------------------------
// Shared contexts

namespace {

// Size, modification time and inode of each named file ("-" for a missing one),
// so that a changed certificate or key file makes a new context.
std::string FileStamps(const TIdSSLOptions& o) {
  std::string out;
  for (const std::string* file : {&o.RootCertFile, &o.CertFile, &o.KeyFile, &o.DHParamsFile}) {
    out += '|';
    if (file->empty()) continue;
    struct stat st {};
    if (::stat(file->c_str(), &st) != 0) {
      out += '-';
      continue;
    }
    out += std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
           std::to_string(st.st_mtim.tv_nsec) + ':' + std::to_string(st.st_ino);
  }
  return out;
}

// A client context built from the options; raises when the library refuses
// them. Any thread: the context is new and not yet shared.
std::shared_ptr<TIdSSLContext> NewClientContext(const TIdSSLOptions& options, bool verifyOn, bool statusOn) {
  auto context = std::make_shared<TIdSSLContext>();
  context->RootCertFile = options.RootCertFile;
  context->CertFile = options.CertFile;
  context->KeyFile = options.KeyFile;
  context->DHParamsFile = options.DHParamsFile;
  context->VerifyDepth = options.VerifyDepth;
  context->VerifyMode = options.VerifyMode;
  context->VerifyDirs = options.VerifyDirs;
  context->CipherList = options.CipherList;
  context->Method = options.Method();
  context->SSLVersions = options.SSLVersions();
  context->Mode = options.Mode;
  context->AllowLegacy = options.AllowLegacy;
  context->VerifyOn = verifyOn;
  context->StatusOn = statusOn;
  context->Build(sslmClient);
  return context;
}

}  // namespace

std::shared_ptr<TIdSSLContext> TIdSSLContextCache::Get(const TIdSSLOptions& options, bool verifyOn, bool statusOn) {
  // The server name goes on each session, not on the context: connections
  // of one tunnel to several servers share it.
  TIdSSLOptions shared = options;
  shared.ServerName.clear();
  Key key{shared, verifyOn, statusOn, FileStamps(options)};
  // Outside the lock: it stats the default trust file and may reload the store.
  // Only the address is compared: a context built on an older store keeps that
  // store alive, so a new store never has its address.
  X509_STORE* current = AcquireDefaultTrustStore();
  const void* store = current;
  if (current) X509_STORE_free(current);
  std::lock_guard<std::mutex> lock(mutex_);
  if (context_ && key == key_ && context_->Store() == store) return context_;
  context_.reset();
  auto context = NewClientContext(shared, verifyOn, statusOn);  // raises; nothing is kept then
  context_ = std::move(context);
  key_ = std::move(key);
  return context_;
}

// ---------------------------------------------------------------------------
// Session and cipher

TIdSSLSocket::~TIdSSLSocket() {
  if (ssl_) SSL_free(ssl_);
}

TIdSSLCipher::TIdSSLCipher(const SSL* session) {
  const SSL_CIPHER* cipher = session ? SSL_get_current_cipher(session) : nullptr;
  if (!cipher) return;
  Name = SSL_CIPHER_get_name(cipher);
  char description[kCipherDescriptionSize] = {};
  if (SSL_CIPHER_description(cipher, description, sizeof description)) Description = description;
  // The library ends the description with a line feed; the log line stays one line.
  while (!Description.empty() && (Description.back() == '\n' || Description.back() == '\r')) Description.pop_back();
  SSL_CIPHER_get_bits(cipher, &Bits);
  Version = SSL_CIPHER_get_version(cipher);
}

std::string TIdSSLCipher::InfoLine() const {
  return "Cipher: name = " + Name + "; " + "description = " + Description + "; " + "bits = " + std::to_string(Bits) +
         "; " + "version = " + Version + "; ";
}

// ---------------------------------------------------------------------------
// Handler

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TIdComponent* owner) : TIdSSLIOHandlerSocketBase(owner) {}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  try {
    Close();
  } catch (...) {
  }
}

int TIdSSLIOHandlerSocketOpenSSL::SocketTimeoutMs() const {
  return ReadTimeout > 0 ? ReadTimeout : kDefaultSocketTimeoutMs;
}

void TIdSSLIOHandlerSocketOpenSSL::BuildClientContext() {
  context_.reset();
  const bool verifyOn = static_cast<bool>(OnVerifyPeer);
  const bool statusOn = static_cast<bool>(OnStatusInfo) || static_cast<bool>(OnStatusInfoEx);
  if (ContextCache) {
    context_ = ContextCache->Get(options_, verifyOn, statusOn);
    return;
  }
  context_ = NewClientContext(options_, verifyOn, statusOn);
}

void TIdSSLIOHandlerSocketOpenSSL::OpenTlsSession() {
  // The client certificate is read first: a file that is missing, unreadable or
  // wrong ends the attempt before anything goes on the network.
  std::shared_ptr<const TClientIdentity> identity;
  if (!options_.CertFile.empty()) identity = LoadClientIdentity(options_.CertFile);
  OpenClearTextPath();
  try {
    RefuseStrayProxyBytes();
    PrepareSocketForTls();
    SSL* ssl = NewSession(identity.get());
    Handshake(ssl);
    JudgeUnjudgedPeer(ssl);
    if (OnAfterHandshake) OnAfterHandshake(*this);
    if (OnStatusInfo) OnStatusInfo(TIdSSLCipher(ssl).InfoLine());
    // From here on reads and writes go through the session.
    pass_through_ = false;
  } catch (...) {
    handshaking_ = false;
    Close();
    throw;
  }
}

// The TCP connection and the proxy chain speak clear text, so the handler
// passes bytes through untouched while they are set up.
void TIdSSLIOHandlerSocketOpenSSL::OpenClearTextPath() {
  const bool remembered = pass_through_;
  pass_through_ = true;
  try {
    TIdSSLIOHandlerSocketBase::Open();
  } catch (...) {
    pass_through_ = remembered;
    throw;
  }
  pass_through_ = remembered;
}

// Bytes that came after the last proxy reply, before this side has said a
// word of TLS, can only be the proxy's own: a server speaks TLS only after
// the client's hello. Forwarding them would hand them to the local client in
// clear, ahead of the verified stream, so the connection fails instead.
void TIdSSLIOHandlerSocketOpenSSL::RefuseStrayProxyBytes() {
  if (input_.empty()) return;
  const size_t stray = input_.size();
  input_.clear();
  EIdOSSLConnectError error(WithContext(kMsgConnect, "Unexpected data before the TLS handshake (" +
                                                         std::to_string(stray) + " bytes after the proxy reply)."));
  error.SSLErrorCode = SSL_ERROR_SSL;
  throw error;
}

// The context (own or shared), the session holder and the socket options the
// handshake and the relay rely on.
void TIdSSLIOHandlerSocketOpenSSL::PrepareSocketForTls() {
  if (!context_) BuildClientContext();
  if (!socket_) socket_ = std::make_unique<TIdSSLSocket>(this, context_.get());
  socket_->Context = context_.get();
  // The handshake and the relay run the socket non-blocking and wait with
  // poll() for at most the same time, so that a record without application
  // data never holds a read and Cancel() ends every wait.
  SetSocketTimeouts(Handle(), SocketTimeoutMs());
  // The handshake and every record go out at once: with Nagle's rule a record
  // written right after the client's Finished waits for the server's delayed
  // acknowledgement (about 40 ms per connection).
  const int noDelay = 1;
  setsockopt(Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  if (OnBeforeConnect) OnBeforeConnect(*this);
}

// The library session on this socket, with what belongs to it alone: the
// information callback, the way back from the library callbacks to this
// handler, the server name and the client certificate. Leaves the socket
// non-blocking for the handshake.
SSL* TIdSSLIOHandlerSocketOpenSSL::NewSession(const TClientIdentity* identity) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context_->Handle());
  if (!ssl) throw EIdOSSLCreatingSessionError(kMsgCreatingSession);
  socket_->ssl_ = ssl;
  // The context's information callback, set on this session alone (see Build).
  if (context_->StatusOn) SSL_set_info_callback(ssl, &TIdSSLIOHandlerSocketOpenSSL::StatusBridge);
  int r = SSL_set_ex_data(ssl, kSessionDataIndex, socket_.get());
  if (r <= 0) RaiseTlsError<EIdOSSLDataBindingError>(r, SSL_get_error(ssl, r), kMsgDataBinding);
  // Notes a certificate request of the server (called whether or not a
  // client certificate is presented).
  cert_requested_ = false;
  read_any_ = false;
  SSL_set_cert_cb(ssl, &TIdSSLIOHandlerSocketOpenSSL::CertificateRequestBridge, this);
  r = SSL_set_fd(ssl, Handle());
  if (r <= 0) RaiseTlsError<EIdOSSLFDSetError>(r, SSL_get_error(ssl, r), kMsgFDSet);
  // Without a ServerName no host name is given to the session.
  if (!options_.ServerName.empty() && SSL_set_tlsext_host_name(ssl, options_.ServerName.c_str()) != 1) {
    ERR_clear_error();
    throw EIdOSSLCreatingSessionError("Server name \"" + options_.ServerName + "\" cannot be sent (SNI).");
  }
  if (identity) PresentClientIdentity(ssl, *identity);
  SetNonBlocking(Handle());
  return ssl;
}

// The handshake; StatusBridge and VerifyBridge run inside SSL_connect. Every
// wait for the socket is bounded by the socket time-out and ended by Cancel().
void TIdSSLIOHandlerSocketOpenSSL::Handshake(SSL* ssl) {
  handshaking_ = true;
  judged_leaf_ = false;
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl);
    if (r > 0) break;
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      // Bounded by the socket time-out, as every wait; a handshake that runs
      // out of it is said to be the TLS handshake, with its limit, before the
      // socket layer's time-out error.
      const bool forWrite = e == SSL_ERROR_WANT_WRITE;
      if (!(forWrite ? WaitWritable(SocketTimeoutMs()) : WaitReadable(SocketTimeoutMs()))) {
        handshaking_ = false;
        ExplainHandshakeTimeout();
        RaiseSocketError(ETIMEDOUT);
      }
      continue;
    }
    handshaking_ = false;
    CheckCancelled();  // a callback of a cancelled handshake refused to wait
    ExplainHandshakeRefusal(ERR_peek_error());
    RaiseTlsError<EIdOSSLConnectError>(r, e, kMsgConnect);
  }
  handshaking_ = false;
  CheckCancelled();  // a cancelled handshake may have skipped its reports
}

// The certificate must have been judged by OnVerifyPeer at depth 0. The
// library always gets there; should a library version ever skip it, the
// handler judges the peer's certificate here instead of letting it pass.
void TIdSSLIOHandlerSocketOpenSSL::JudgeUnjudgedPeer(SSL* ssl) {
  if (!context_->VerifyOn || judged_leaf_) return;
  bool accepted = true;
  {
    const auto lock = LockUnlessCancelled(TlsVerifyLock(), this);
    CheckCancelled();
    TIdX509 certificate(SSL_get0_peer_certificate(ssl), SSL_get_peer_cert_chain(ssl));
    const int error = static_cast<int>(SSL_get_verify_result(ssl));
    try {
      accepted = OnVerifyPeer(certificate, error == X509_V_OK, 0, error);
    } catch (...) {
    }
  }
  if (!accepted) {
    EIdOSSLConnectError error(
        WithContext(kMsgConnect, LibraryErrorText(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_CERTIFICATE_VERIFY_FAILED))));
    error.SSLErrorCode = SSL_ERROR_SSL;
    throw error;
  }
}

void TIdSSLIOHandlerSocketOpenSSL::AwaitRefusal(int ms) {
  if (pass_through_ || !socket_ || !socket_->ssl_) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  uint8_t buf[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    if (!TransportPending() && !WaitReadable(static_cast<int>(left))) return;
    const int r = ReadDecrypted(buf, sizeof buf);
    if (r > 0) {
      if (!cert_requested_) return;
      continue;
    }
    if (r == kReadAgain) continue;
    if (r == 0) throw EIdConnClosedGracefully("The server ended the session right after the handshake.");
    CheckForError(r);  // raises the library's error
    throw EIdConnClosedGracefully("The server dropped the connection right after the handshake.");
  }
}

std::string TIdSSLIOHandlerSocketOpenSSL::ProtocolVersion() const {
  SSL* ssl = socket_ ? socket_->ssl_ : nullptr;
  return ssl ? SSL_get_version(ssl) : std::string();
}

namespace {

// The TLS alert a queued error reports, in the library's words ("certificate
// required"); empty when the error is no alert of the peer.
std::string ReceivedAlert(unsigned long queued) {
  if (queued == 0 || ERR_GET_LIB(queued) != ERR_LIB_SSL) return {};
  const int reason = ERR_GET_REASON(queued);
  if (reason < SSL_AD_REASON_OFFSET) return {};
  const char* text = SSL_alert_desc_string_long(reason - SSL_AD_REASON_OFFSET);
  if (text && std::strcmp(text, "unknown") != 0) return text;
  // The library's reason text names the protocol first ("tlsv13 alert
  // certificate required"): the alert's own words follow " alert ".
  const char* libraryText = ERR_reason_error_string(queued);
  if (!libraryText) return "alert " + std::to_string(reason - SSL_AD_REASON_OFFSET);
  const std::string words = libraryText;
  const size_t at = words.find(" alert ");
  return at == std::string::npos ? words : words.substr(at + 7);
}

}  // namespace

std::string TIdSSLIOHandlerSocketOpenSSL::ClientCertificateAdvice(const std::string& alert) const {
  if (options_.CertFile.empty()) {
    return "it asked for a client certificate, and this tunnel presents none. The server most likely requires one: "
           "turn on \"Use client certificate\" in the SSL tab (SSLUseClientCertificate, SSLClientCertificatePath).";
  }
  std::string advice = "it asked for a client certificate, and most likely refused the one this tunnel presents (\"" +
                       options_.CertFile + "\"); check that the server trusts its issuer and that it is valid.";
  if (alert == "unknown CA") {
    advice += " \"unknown CA\" here is the server's word about the client certificate: it does not know the "
              "certificate's issuer (the server's own certificate is not in question).";
  }
  return advice;
}

void TIdSSLIOHandlerSocketOpenSSL::ExplainHandshakeTimeout() {
  if (!OnRefusal || Cancelled()) return;
  try {
    OnRefusal("The TLS handshake did not finish within its time limit of " + std::to_string(SocketTimeoutMs()) +
              " ms: the server took the connection but gave no TLS answer in time. It may not speak TLS on that "
              "port; check the remote port, or turn off \"SSL Host\" (SSLHost=0) for a server that speaks plain "
              "text there.");
  } catch (...) {
  }
}

void TIdSSLIOHandlerSocketOpenSSL::ExplainHandshakeRefusal(unsigned long queued) {
  if (!OnRefusal || queued == 0 || ERR_GET_LIB(queued) != ERR_LIB_SSL) return;
  const int reason = ERR_GET_REASON(queued);
  const char* text = ERR_reason_error_string(queued);
  const std::string library = text ? text : "error " + std::to_string(reason);
  const auto say = [this](const std::string& line) {
    try {
      OnRefusal(line);
    } catch (...) {
    }
  };
  switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_UNEXPECTED_MESSAGE:
      // The first bytes back were no TLS server's answer: a plain-text server
      // (a greeting, an HTTP reply) or one that echoes the client's hello.
      if (!cert_requested_) {
        say("The server does not speak TLS on that port: its answer to the TLS hello is no TLS server's (" + library +
            "). Check the remote port (the service's TLS port, for example 563 for news or 443 for HTTPS), or turn "
            "off \"SSL Host\" (SSLHost=0) for a server that speaks plain text there.");
        return;
      }
      break;
    case SSL_R_DH_KEY_TOO_SMALL: {
      // The group size a security level asks for (levels 2, 3, 4 and up).
      const int level = ChainSecurityLevel();
      const std::string bits = level <= 2 ? "2048" : level == 3 ? "3072" : level == 4 ? "7680" : "15360";
      say("The server's Diffie-Hellman group is too small (" + library +
          "): its key exchange is weaker than this tunnel accepts (" +
          (context_ && context_->AllowLegacy ? std::string("even with SSLAllowLegacy=1")
                                             : "at least " + bits + " bits at security level " +
                                                   std::to_string(level)) +
          "). The server should offer ECDHE or a group of " + bits + " bits or more" +
          (context_ && context_->AllowLegacy
               ? std::string(".")
               : "; for an old server that cannot be updated, SSLAllowLegacy=1 in the tunnel's section accepts it."));
      return;
    }
    case SSL_R_EXCESSIVE_MESSAGE_SIZE:
      say("The server sent a handshake message larger than this program accepts (" + library +
          "; most likely a certificate chain of over 100 KB). The server should send only its own certificate and "
          "its intermediate certificates.");
      return;
    default:
      break;
  }
  // An alert after the server asked for a client certificate (TLS 1.2 and
  // older refuse it within the handshake): most likely about that certificate.
  if (cert_requested_ && reason >= SSL_AD_REASON_OFFSET && reason != SSL_R_TLSV1_ALERT_PROTOCOL_VERSION) {
    const std::string alert = ReceivedAlert(queued);
    say("The server ended the handshake with the TLS alert \"" + alert + "\": " + ClientCertificateAdvice(alert));
    return;
  }
  if (reason != SSL_R_UNSUPPORTED_PROTOCOL && reason != SSL_R_TLSV1_ALERT_PROTOCOL_VERSION &&
      reason != SSL_R_NO_PROTOCOLS_AVAILABLE && reason != SSL_R_VERSION_TOO_LOW) {
    return;
  }
  const std::string why = text ? text : "no shared version";
  try {
    if (context_ && context_->AllowLegacy) {
      OnRefusal("TLS version refused: the server and this tunnel share no protocol version (" + why +
                "); even with SSLAllowLegacy=1 nothing older than TLS 1.0 is spoken.");
    } else {
      OnRefusal("TLS version refused: the server offers only a protocol version older than TLS 1.2 (" + why +
                "). TLS 1.0 and 1.1 are no longer safe; for an old server that cannot be updated, "
                "SSLAllowLegacy=1 in the tunnel's section allows them.");
    }
  } catch (...) {
  }
}

void TIdSSLIOHandlerSocketOpenSSL::ExplainReadRefusal(bool closed, unsigned long queued) {
  if (!OnRefusal || Cancelled()) return;
  const std::string alert = closed ? std::string() : ReceivedAlert(queued);
  const bool refusedAtOnce = cert_requested_ && !read_any_;
  if (alert.empty() && !refusedAtOnce) return;
  std::string line = alert.empty() ? std::string("The server closed the connection")
                                    : "The server ended the session with the TLS alert \"" + alert + "\"";
  if (!read_any_) line += " right after the handshake";
  if (refusedAtOnce) {
    line += ": " + ClientCertificateAdvice(alert);
  } else {
    line += ".";
  }
  try {
    OnRefusal(line);
  } catch (...) {
  }
}

int TIdSSLIOHandlerSocketOpenSSL::CertificateRequestBridge(SSL* ssl, void* arg) {
  (void)ssl;
  if (auto* handler = static_cast<TIdSSLIOHandlerSocketOpenSSL*>(arg)) handler->cert_requested_ = true;
  return 1;  // the presented certificate (or none) stays as it is
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  handshaking_ = false;
  read_starved_ = false;
  if (socket_ && socket_->ssl_) {
    // Nothing is reported from the shutdown on (the context, possibly shared
    // with other connections, has no callback of its own).
    SSL_set_info_callback(socket_->ssl_, nullptr);
    // One close_notify, not waiting for the server's; the socket is
    // non-blocking, so a peer that does not read cannot hold the close.
    if (SSL_is_init_finished(socket_->ssl_) && !(SSL_get_shutdown(socket_->ssl_) & SSL_SENT_SHUTDOWN)) {
      SSL_shutdown(socket_->ssl_);
    }
    SSL_free(socket_->ssl_);
    socket_->ssl_ = nullptr;
  }
  socket_.reset();
  context_.reset();  // frees the library context unless other connections share it
  ERR_clear_error();
  TIdSSLIOHandlerSocketBase::Close();
}

void TIdSSLIOHandlerSocketOpenSSL::ShutdownWrite() {
  SSL* ssl = socket_ ? socket_->ssl_ : nullptr;
  if (pass_through_ || !ssl) {
    TIdSSLIOHandlerSocketBase::ShutdownWrite();
    return;
  }
  if (!SSL_is_init_finished(ssl) || (SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN)) return;
  // The closure alert; reading goes on until the server closes.
  for (;;) {
    ERR_clear_error();
    const int r = SSL_shutdown(ssl);
    if (r >= 0) break;
    const int e = SSL_get_error(ssl, r);
    if (e != SSL_ERROR_WANT_WRITE) break;
    WaitSocket(true);  // bounded by the socket time-out and Cancel()
  }
  ERR_clear_error();
}

void TIdSSLIOHandlerSocketOpenSSL::WaitSocket(bool forWrite) {
  // Bounded by the socket time-out; Cancel() ends it with EIdConnectionCancelled.
  const bool ready = forWrite ? WaitWritable(SocketTimeoutMs()) : WaitReadable(SocketTimeoutMs());
  if (!ready) RaiseSocketError(ETIMEDOUT);
}

int TIdSSLIOHandlerSocketOpenSSL::ReadDecrypted(uint8_t* buf, int len) {
  if (pass_through_) return TIdSSLIOHandlerSocketBase::ReadAvailable(buf, len);
  SSL* ssl = socket_ ? socket_->ssl_ : nullptr;
  if (!ssl) return 0;
  read_starved_ = false;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(ssl, buf, len);
    if (r > 0) {
      read_any_ = true;
      return r;
    }
    const int e = SSL_get_error(ssl, r);
    switch (e) {
      case SSL_ERROR_WANT_READ:
        // A record that has begun is waited for, bounded by the socket
        // time-out: a server that stops in the middle of a record fails the
        // read with the socket layer's time-out error instead of leaving the
        // relay waiting without limit. Cancel() ends this wait too.
        if (SSL_has_pending(ssl)) {
          WaitSocket(false);
          continue;
        }
        // Only whole records without application data (tickets, key updates)
        // were there: back to the relay's wait.
        read_starved_ = true;
        return kReadAgain;
      case SSL_ERROR_WANT_WRITE:
        WaitSocket(true);  // the library must answer (a key update) first
        continue;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        // A TCP close without a closing alert ends the stream as on a plain socket.
        if (e == SSL_ERROR_SSL && UnexpectedEof(ERR_peek_error())) {
          ERR_clear_error();
          ExplainReadRefusal(true, 0);
          return 0;
        }
        if (e == SSL_ERROR_SYSCALL && r == 0 && ERR_peek_error() == 0) {
          ExplainReadRefusal(true, 0);
          return 0;
        }
        RememberFailure(r, e);
        ExplainReadRefusal(false, last_queued_);
        return r < 0 ? r : -1;
    }
  }
}

int TIdSSLIOHandlerSocketOpenSSL::WriteEncrypted(const uint8_t* buf, int offset, int len) {
  if (pass_through_) return TIdSSLIOHandlerSocketBase::WriteAll(buf + offset, len);
  SSL* ssl = socket_ ? socket_->ssl_ : nullptr;
  if (!ssl) return 0;
  int total = 0;
  while (len > 0) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_write(ssl, buf + offset, len);
    if (r > 0) {
      total += r;
      offset += r;
      len -= r;
      continue;
    }
    const int e = SSL_get_error(ssl, r);
    switch (e) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        WaitSocket(e == SSL_ERROR_WANT_WRITE);  // bounded by the socket time-out
        continue;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        RememberFailure(r, e);
        return r < 0 ? r : -1;
    }
  }
  return total;
}

int TIdSSLIOHandlerSocketOpenSSL::WriteAvailable(const uint8_t* buf, int len) {
  if (pass_through_) return TIdSSLIOHandlerSocketBase::WriteAvailable(buf, len);
  SSL* ssl = socket_ ? socket_->ssl_ : nullptr;
  if (!ssl) return 0;
  write_wants_read_ = false;
  ERR_clear_error();
  errno = 0;
  const int r = SSL_write(ssl, buf, len);
  if (r > 0) return r;
  const int e = SSL_get_error(ssl, r);
  switch (e) {
    case SSL_ERROR_WANT_READ:
      write_wants_read_ = true;
      return kWriteAgain;
    case SSL_ERROR_WANT_WRITE:
      return kWriteAgain;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      RememberFailure(r, e);
      return r < 0 ? r : -1;
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::TransportPending() const {
  if (pass_through_ || !socket_ || !socket_->ssl_) return false;
  // After a read that had nothing to give, only the socket can bring progress:
  // the caller waits for it, whatever SSL_pending says (during a renegotiation
  // the library can hold application data that SSL_read will not hand out
  // before the handshake has gone on). A caller that took "pending" as
  // readable would otherwise call a read that returns kReadAgain at once,
  // again and again, without ever waiting.
  if (read_starved_) return false;
  return SSL_pending(socket_->ssl_) > 0;
}

void TIdSSLIOHandlerSocketOpenSSL::RememberFailure(int result, int sslError) {
  last_result_ = result < 0 ? result : -1;
  last_ssl_error_ = sslError;
  last_errno_ = errno;
  last_queued_ = ERR_peek_error();
}

void TIdSSLIOHandlerSocketOpenSSL::CheckForError(int result) {
  if (pass_through_ || !socket_ || !socket_->ssl_) {
    TIdSSLIOHandlerSocketBase::CheckForError(result);
    return;
  }
  int e = SSL_ERROR_NONE;
  if (result == last_result_ && last_ssl_error_ != SSL_ERROR_NONE) {
    e = last_ssl_error_;
  } else {
    e = SSL_get_error(socket_->ssl_, result);
    last_errno_ = errno;
    last_queued_ = ERR_peek_error();
  }
  if (e == SSL_ERROR_NONE) return;
  if (e == SSL_ERROR_SYSCALL) {
    const int code = last_errno_;
    last_ssl_error_ = SSL_ERROR_NONE;
    if (code == 0 || PeerGoneError(code)) return;
    RaiseSocketError(code);
  }
  RaiseTlsError<EIdOpenSSLAPISSLError>(result, e, std::string());
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseError(int code) {
  if (pass_through_ || !socket_ || !socket_->ssl_ || PeerGoneError(code) || code > 0) RaiseSocketError(code);
  last_errno_ = errno;
  last_queued_ = ERR_peek_error();
  RaiseTlsError<EIdOpenSSLAPISSLError>(code, SSL_get_error(socket_->ssl_, code), std::string());
}

template <class K>
void TIdSSLIOHandlerSocketOpenSSL::RaiseTlsError(int result, int sslError, const std::string& contextMessage) {
  // The first queued error: kept from the failing read/write, else taken now.
  unsigned long queued = ERR_get_error();
  if (queued == 0) queued = last_queued_;
  const int sysError = last_errno_ != 0 ? last_errno_ : errno;
  last_ssl_error_ = SSL_ERROR_NONE;
  last_queued_ = 0;
  ERR_clear_error();

  const auto raise = [&](auto error) { ThrowRecorded(std::move(error), sslError, result); };
  if (UnexpectedEof(queued)) {
    // The older library's "system-call error with result 0" in OpenSSL 3 dress.
    raise(K(WithContext(contextMessage, kMsgEOFViolation)));
  }
  if (sslError == SSL_ERROR_SSL || (sslError == SSL_ERROR_SYSCALL && queued != 0)) {
    EIdOSSLUnderlyingCryptoError error(WithContext(contextMessage, LibraryErrorText(queued)));
    error.CryptoErrorCode = queued;
    raise(std::move(error));
  }
  if (sslError == SSL_ERROR_SYSCALL) {
    if (result == 0) raise(K(WithContext(contextMessage, kMsgEOFViolation)));
    if (result == -1) RaiseSocketError(sysError);
  }
  raise(K(WithContext(contextMessage, LibraryErrorText(static_cast<unsigned long>(sslError)))));
  std::abort();  // not reached: raise() always throws
}

// ---------------------------------------------------------------------------
// Library callbacks

int TIdSSLIOHandlerSocketOpenSSL::VerifyBridge(int ok, X509_STORE_CTX* storeContext) {
  // The session and its handler belong to this connection: found before the
  // lock, so that a cancelled handshake can give up waiting for it.
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(storeContext, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* session = ssl ? static_cast<TIdSSLSocket*>(SSL_get_ex_data(ssl, kSessionDataIndex)) : nullptr;
  // For the whole call, the pin check included; bounded by the holder or Cancel().
  const auto lock = LockUnlessCancelled(TlsVerifyLock(), session ? session->Parent : nullptr);
  if (!lock.owns_lock()) return 0;  // cancelled: the handshake ends, raising the cancellation
  int answer = 1;
  if (!ssl) return ok;
  try {
    TIdX509 certificate(X509_STORE_CTX_get_current_cert(storeContext), X509_STORE_CTX_get0_untrusted(storeContext));
    const int error = X509_STORE_CTX_get_error(storeContext);
    const int depth = X509_STORE_CTX_get_error_depth(storeContext);
    bool aOk = ok == 1;
    if (ok <= 0 || (session && session->Context && depth > session->Context->VerifyDepth)) aOk = false;
    // Only the server's own certificate is judged. OpenSSL 3 also reports the
    // issuer at depth 1 (chain too long, issuer unknown) although the depth
    // limit is 0; those calls are accepted without a word.
    if (depth == 0 && session && session->Parent) {
      TIdSSLIOHandlerSocketOpenSSL* handler = session->Parent;
      handler->judged_leaf_ = true;
      if (handler->OnVerifyPeer) answer = handler->OnVerifyPeer(certificate, aOk, depth, error) ? 1 : 0;
    }
  } catch (...) {
    // The answer keeps its value.
  }
  return answer;
}

void TIdSSLIOHandlerSocketOpenSSL::StatusBridge(const SSL* session, int where, int ret) {
  (void)where;
  (void)ret;
  const int savedErrno = errno;
  auto* socket = static_cast<TIdSSLSocket*>(SSL_get_ex_data(session, kSessionDataIndex));
  // Post-handshake records (tickets, key updates) report nothing.
  if (socket && socket->Parent && socket->Parent->handshaking_ && socket->Parent->OnStatusInfo) {
    // For the whole call, the report included; bounded by the holder or
    // Cancel(). A cancelled handshake drops its line.
    const auto lock = LockUnlessCancelled(TlsStatusInfoLock(), socket->Parent);
    if (lock.owns_lock()) {
      try {
        socket->Parent->OnStatusInfo(std::string("SSL status: \"") + SSL_state_string_long(session) + "\"");
      } catch (...) {
      }
    }
  }
  errno = savedErrno;
}

int TIdSSLIOHandlerSocketOpenSSL::PassphraseBridge(char* buf, int size, int rwflag, void* userdata) {
  (void)rwflag;
  (void)userdata;
  std::lock_guard<TTlsCallbackLock> lock(TlsPasswordLock());
  // No key file is ever loaded, so the library never asks; an empty pass phrase.
  if (size > 0) buf[0] = '\0';
  return 0;
}

}  // namespace sorvik
