#include "tls/tls_fixtures.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "support/kernel_state.h"

namespace sorvik::test {

// ---------------------------------------------------------------------------
// Certificates

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey(bool rsa, unsigned rsaBits = 2048) {
  EVP_PKEY* key = rsa ? EVP_RSA_gen(rsaBits) : EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("key generation failed");
  return KeyPtr(key, &EVP_PKEY_free);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw std::runtime_error(std::string("extension failed: ") + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

struct CertSpec {
  const char* org;
  const char* cn;
  bool ca;
  time_t notBefore;
  time_t notAfter;
  long serial;
  const char* san = "DNS:localhost,IP:127.0.0.1";  // server certificates only
  const char* usage = "serverAuth";                // server certificates only
  bool sha1 = false;                               // signed with SHA-1 instead of SHA-256
  const char* extraName = nullptr;                 // one more extension, by name or OID
  const char* extraValue = nullptr;                // ("critical,DER:..." for an unknown one)
};

// Signs with `issuerKey`; `issuer` null makes a self-signed certificate.
CertPtr NewCert(const CertSpec& params, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
  CertPtr cert(X509_new(), &X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), params.serial);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(params.org), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(params.cn), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  ASN1_TIME_set(X509_getm_notBefore(cert.get()), params.notBefore);
  ASN1_TIME_set(X509_getm_notAfter(cert.get()), params.notAfter);
  X509_set_pubkey(cert.get(), key);
  X509* signer = issuer ? issuer : cert.get();
  if (params.ca) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_ext_key_usage, params.usage);
    if (params.san) AddExtension(cert.get(), signer, NID_subject_alt_name, params.san);
  }
  if (params.extraName) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, params.extraName, params.extraValue);
    if (!ext) throw std::runtime_error(std::string("extension failed: ") + params.extraName);
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (!X509_sign(cert.get(), issuerKey ? issuerKey : key, params.sha1 ? EVP_sha1() : EVP_sha256())) {
    throw std::runtime_error("sign failed");
  }
  return cert;
}

void WritePem(const std::string& path, std::initializer_list<X509*> certs, EVP_PKEY* key = nullptr) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  for (X509* c : certs) PEM_write_X509(f, c);
  if (key) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

constexpr time_t kDay = 24 * 3600;

}  // namespace

CertificateSet::CertificateSet(bool rsa) {
  const time_t now = std::time(nullptr);
  const time_t jan2020 = 1577836800, feb2020 = 1580515200;
  KeyPtr rootKey = NewKey(rsa), interKey = NewKey(rsa), leafKey = NewKey(rsa), expiredKey = NewKey(rsa),
         otherKey = NewKey(rsa);
  CertPtr root = NewCert({"Sorvik Test", "Sorvik Test Root CA", true, now - kDay, now + 3650 * kDay, 1}, rootKey.get(),
                         nullptr, nullptr);
  CertPtr inter = NewCert({"Sorvik Test", "Sorvik Test Intermediate CA", true, now - kDay, now + 3650 * kDay, 2},
                          interKey.get(), root.get(), rootKey.get());
  CertPtr leaf = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 3}, leafKey.get(),
                         inter.get(), interKey.get());
  CertPtr expired = NewCert({"Sorvik Test", "expired.localhost", false, jan2020, feb2020, 4}, expiredKey.get(),
                            inter.get(), interKey.get());
  CertPtr other = NewCert({"Someone Else", "localhost", false, now - kDay, now + 825 * kDay, 5}, otherKey.get(),
                          nullptr, nullptr);
  WritePem(Path("root.pem"), {root.get()});
  WritePem(Path("inter.pem"), {inter.get()});
  WritePem(Path("leaf.pem"), {leaf.get()});
  WritePem(Path("leaf.key"), {}, leafKey.get());
  WritePem(Path("leaf-chain.pem"), {leaf.get(), inter.get()});
  WritePem(Path("expired.pem"), {expired.get()});
  WritePem(Path("expired.key"), {}, expiredKey.get());
  WritePem(Path("expired-chain.pem"), {expired.get(), inter.get()});
  WritePem(Path("other.pem"), {other.get()});
  WritePem(Path("other.key"), {}, otherKey.get());

  // A leaf of the same CA for another name, one not valid before next year.
  KeyPtr elsewhereKey = NewKey(rsa), futureKey = NewKey(rsa);
  CertPtr elsewhere = NewCert({"Sorvik Test", "elsewhere.example", false, now - kDay, now + 825 * kDay, 6,
                               "DNS:elsewhere.example,DNS:*.elsewhere.example"},
                              elsewhereKey.get(), inter.get(), interKey.get());
  CertPtr future = NewCert({"Sorvik Test", "localhost", false, now + 365 * kDay, now + 730 * kDay, 7}, futureKey.get(),
                           inter.get(), interKey.get());
  WritePem(Path("elsewhere-chain.pem"), {elsewhere.get(), inter.get()});
  WritePem(Path("elsewhere.pem"), {elsewhere.get()});
  WritePem(Path("elsewhere.key"), {}, elsewhereKey.get());
  WritePem(Path("future-chain.pem"), {future.get(), inter.get()});
  WritePem(Path("future.key"), {}, futureKey.get());

  // Certificates below today's security level, each with an otherwise sound
  // chain: a leaf signed with SHA-1; a leaf under an intermediate signed with
  // SHA-1; a leaf with an RSA-1024 key. Also a leaf that names its host only
  // in its common name (no subjectAltName), and an RSA-2048 leaf for servers
  // that offer only plain-RSA key exchange (TLS 1.0 and 1.1).
  {
    KeyPtr sha1Key = NewKey(rsa), sha1InterKey = NewKey(rsa), underSha1Key = NewKey(rsa), weakKey = NewKey(true, 1024),
           cnOnlyKey = NewKey(rsa), rsaKey = NewKey(true);
    CertSpec sha1Spec{"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 20};
    sha1Spec.sha1 = true;
    CertPtr sha1 = NewCert(sha1Spec, sha1Key.get(), inter.get(), interKey.get());
    CertSpec sha1InterSpec{"Sorvik Test", "Sorvik Test SHA-1 Intermediate CA", true, now - kDay, now + 3650 * kDay, 21};
    sha1InterSpec.sha1 = true;
    CertPtr sha1Inter = NewCert(sha1InterSpec, sha1InterKey.get(), root.get(), rootKey.get());
    CertPtr underSha1 = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 22},
                                underSha1Key.get(), sha1Inter.get(), sha1InterKey.get());
    CertPtr weak = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 23}, weakKey.get(),
                           inter.get(), interKey.get());
    CertPtr cnOnly = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 24, nullptr},
                             cnOnlyKey.get(), inter.get(), interKey.get());
    CertPtr rsaLeaf = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 25}, rsaKey.get(),
                              inter.get(), interKey.get());
    WritePem(Path("sha1.pem"), {sha1.get()});
    WritePem(Path("sha1inter.pem"), {underSha1.get()});
    WritePem(Path("sha1inter-ca.pem"), {sha1Inter.get()});
    WritePem(Path("rsa1024.pem"), {weak.get()});
    WritePem(Path("cnonly.pem"), {cnOnly.get()});
    WritePem(Path("sha1-chain.pem"), {sha1.get(), inter.get()});
    WritePem(Path("sha1.key"), {}, sha1Key.get());
    WritePem(Path("sha1inter-chain.pem"), {underSha1.get(), sha1Inter.get()});
    WritePem(Path("sha1inter.key"), {}, underSha1Key.get());
    WritePem(Path("rsa1024-chain.pem"), {weak.get(), inter.get()});
    WritePem(Path("rsa1024.key"), {}, weakKey.get());
    WritePem(Path("cnonly-chain.pem"), {cnOnly.get(), inter.get()});
    WritePem(Path("cnonly.key"), {}, cnOnlyKey.get());
    WritePem(Path("rsa-chain.pem"), {rsaLeaf.get(), inter.get()});
    WritePem(Path("rsa.pem"), {rsaLeaf.get()});
    WritePem(Path("rsa.key"), {}, rsaKey.get());
  }

  // Names as browsers judge them (a partial wildcard, an A-label, a name
  // looked up with a trailing dot), a leaf with an extension marked critical
  // that nobody knows, a leaf outside its CA's name constraints, and a leaf
  // whose certificate alone is over 100 KB (thousands of names).
  {
    KeyPtr namesKey = NewKey(rsa), criticalKey = NewKey(rsa), constrainedCaKey = NewKey(rsa),
           constrainedKey = NewKey(rsa), hugeKey = NewKey(rsa);
    CertPtr names = NewCert({"Sorvik Test", "names", false, now - kDay, now + 825 * kDay, 30,
                             "DNS:f*.sorvik.test,DNS:xn--bcher-kva.sorvik.test,DNS:dotted.sorvik.test"},
                            namesKey.get(), inter.get(), interKey.get());
    CertSpec criticalSpec{"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 31};
    criticalSpec.extraName = "1.3.6.1.4.1.55555.1";
    criticalSpec.extraValue = "critical,DER:0C:01:78";
    CertPtr critical = NewCert(criticalSpec, criticalKey.get(), inter.get(), interKey.get());
    CertSpec constrainedCaSpec{"Sorvik Test", "Sorvik Test Constrained CA", true, now - kDay, now + 3650 * kDay, 32};
    constrainedCaSpec.extraName = "nameConstraints";
    constrainedCaSpec.extraValue = "critical,permitted;DNS:.example.org";
    CertPtr constrainedCa = NewCert(constrainedCaSpec, constrainedCaKey.get(), root.get(), rootKey.get());
    CertPtr constrained = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 33, "DNS:localhost"},
                                  constrainedKey.get(), constrainedCa.get(), constrainedCaKey.get());
    std::string hugeNames = "DNS:localhost,IP:127.0.0.1";
    for (int i = 0; i < 5000; ++i) hugeNames += ",DNS:host" + std::to_string(i) + ".sorvik.test";
    CertPtr huge = NewCert({"Sorvik Test", "localhost", false, now - kDay, now + 825 * kDay, 34, hugeNames.c_str()},
                           hugeKey.get(), inter.get(), interKey.get());
    WritePem(Path("names-chain.pem"), {names.get(), inter.get()});
    WritePem(Path("names.pem"), {names.get()});
    WritePem(Path("names.key"), {}, namesKey.get());
    WritePem(Path("critical-chain.pem"), {critical.get(), inter.get()});
    WritePem(Path("critical.pem"), {critical.get()});
    WritePem(Path("critical.key"), {}, criticalKey.get());
    WritePem(Path("constrained-chain.pem"), {constrained.get(), constrainedCa.get()});
    WritePem(Path("constrained.pem"), {constrained.get()});
    WritePem(Path("constrained-ca.pem"), {constrainedCa.get()});
    WritePem(Path("constrained.key"), {}, constrainedKey.get());
    WritePem(Path("huge-chain.pem"), {huge.get(), inter.get()});
    WritePem(Path("huge.pem"), {huge.get()});
    WritePem(Path("huge.key"), {}, hugeKey.get());
  }

  // Client certificates: a CA of their own, a client with its key in the same
  // file, the same client split into .pem and .key, its key encrypted, and a
  // file whose key belongs to another certificate.
  KeyPtr clientCaKey = NewKey(rsa), clientKey = NewKey(rsa);
  CertPtr clientCa = NewCert({"Sorvik Clients", "Sorvik Client CA", true, now - kDay, now + 3650 * kDay, 8},
                             clientCaKey.get(), nullptr, nullptr);
  CertPtr client = NewCert({"Sorvik Clients", "newsreader", false, now - kDay, now + 825 * kDay, 9, nullptr,
                            "clientAuth"},
                           clientKey.get(), clientCa.get(), clientCaKey.get());
  WritePem(Path("client-ca.pem"), {clientCa.get()});
  WritePem(Path("client-combined.pem"), {client.get()}, clientKey.get());
  WritePem(Path("client-split.pem"), {client.get()});
  WritePem(Path("client-split.key"), {}, clientKey.get());
  WritePem(Path("client-nokey.pem"), {client.get()});
  WritePem(Path("client-mismatch.pem"), {client.get()}, otherKey.get());
  {
    FILE* f = std::fopen(Path("client-encrypted.pem").c_str(), "w");
    if (!f) throw std::runtime_error("cannot write client-encrypted.pem");
    PEM_write_X509(f, client.get());
    const char pass[] = "secret";
    PEM_write_PKCS8PrivateKey(f, clientKey.get(), EVP_aes_256_cbc(), pass, static_cast<int>(sizeof pass - 1), nullptr,
                              nullptr);
    std::fclose(f);
  }
}

const CertificateSet& Certificates() {
  static CertificateSet* set = new CertificateSet(false);  // lives until exit
  return *set;
}

void TrustPrivateCa::SetUp() {
  ::setenv("SSL_CERT_FILE", Certificates().Path("root.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", Certificates().Path("no-such-dir").c_str(), 1);
}

std::string CliKeyPin(const std::string& pemPath) {
  return "sha256//" + RunCommand("openssl x509 -in '" + pemPath +
                                 "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | "
                                 "base64");
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

Pins PinsFromCli(const std::string& pemPath) {
  const std::string x509 = "openssl x509 -in '" + pemPath + "' -noout ";
  Pins p;
  p.Fingerprint = RunCommand(x509 + "-fingerprint -md5 | cut -d= -f2");
  p.SubjectHash = RunCommand(x509 + "-subject_hash_old | tr a-f A-F");
  p.IssuerHash = RunCommand(x509 + "-issuer_hash_old | tr a-f A-F");
  p.Subject = RunCommand(x509 + "-subject -nameopt compat | sed 's/^subject=//'");
  p.Issuer = RunCommand(x509 + "-issuer -nameopt compat | sed 's/^issuer=//'");
  return p;
}

// ---------------------------------------------------------------------------
// TLS server

namespace {

constexpr int kPollSliceMs = 100;  // each wait of the server re-checks stop_

void SetNonBlockingFd(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

int ServerNameSeen(SSL* ssl, int* alert, void* arg) {
  (void)alert;
  if (SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  return SSL_TLSEXT_ERR_OK;
}

int AcceptAnyClientCertificate(int, X509_STORE_CTX*) { return 1; }

}  // namespace

TlsServer::TlsServer(TlsServerConfig config) : config_(std::move(config)) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) throw std::runtime_error("SSL_CTX_new failed");
  ctx_ = ctx;
  if (SSL_CTX_use_certificate_chain_file(ctx, config_.CertChainFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, config_.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot load server certificate " + config_.CertChainFile);
  }
  if (config_.MaxVersion) SSL_CTX_set_max_proto_version(ctx, config_.MaxVersion);
  SSL_CTX_set_num_tickets(ctx, static_cast<size_t>(config_.Tickets));
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_tlsext_servername_callback(ctx, &ServerNameSeen);
  SSL_CTX_set_tlsext_servername_arg(ctx, &sni_seen_);
  if (config_.AskClientCertificate) SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &AcceptAnyClientCertificate);
  listen_fd_ = ListenLoopback(port_);
  if (listen_fd_ < 0) throw std::runtime_error("listen failed");
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TlsServer::~TlsServer() {
  Stop();
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

std::string TlsServer::LastPeerAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_peer_;
}

std::string TlsServer::LastVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_version_;
}

void TlsServer::Stop() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
}

// Acceptor thread; each wait is one poll slice, so Stop() ends it promptly.
void TlsServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd = ::accept(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (fd < 0) continue;
    accepted_++;
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    std::lock_guard<std::mutex> lock(mutex_);
    last_peer_ = address;
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

// Connection thread: a non-blocking loop that reads whenever data comes and
// writes what it owes, so it never stops reading while it writes.
void TlsServer::Serve(int fd) {
  SetNonBlockingFd(fd);
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
  SSL_set_fd(ssl, fd);
  auto wait = [&](short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, kPollSliceMs);  // one slice; the caller re-checks stop_
  };
  bool ok = false;
  while (!stop_) {
    ERR_clear_error();
    int r = SSL_accept(ssl);
    if (r == 1) {
      ok = true;
      break;
    }
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ) wait(POLLIN);
    else if (e == SSL_ERROR_WANT_WRITE) wait(POLLOUT);
    else break;
  }
  if (ok) {
    handshakes_++;
    if (SSL_get0_peer_certificate(ssl)) client_certs_++;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_version_ = SSL_get_version(ssl);
    }
    const TlsServerConfig& c = config_;
    if (c.Mode == TlsServerConfig::kGarbage || c.Mode == TlsServerConfig::kResetMidRecord ||
        c.Mode == TlsServerConfig::kStallMidRecord) {
      std::string raw = c.Mode == TlsServerConfig::kGarbage
                            ? "this is not a TLS record\r\n" + RandomBytes(4096, c.Seed)
                            : std::string("\x17\x03\x03\x40\x00", 5) + RandomBytes(200, c.Seed);
      ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
      if (c.Mode == TlsServerConfig::kResetMidRecord) {
        // The reset comes once the client has taken the record's first part,
        // so that it falls in the middle of a record the client has begun.
        WaitUntil([&] { return stop_.load() || UnreadAtPeer(fd) == 0; }, 30000);
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      } else {
        char sink[4096];
        for (int i = 0; i < 300 && !stop_; ++i) {  // up to 30 s for the client to go
          wait(POLLIN);
          ssize_t n = ::recv(fd, sink, sizeof sink, 0);
          if (n == 0 || (n < 0 && errno != EAGAIN)) break;
        }
      }
    } else {
      std::string out;
      bool closeWhenDrained = false;
      if (c.Mode == TlsServerConfig::kBurst) {
        out = RandomBytes(c.BurstBytes, c.Seed);
        closeWhenDrained = true;
      }
      size_t pending = 0;  // length of a write the library asked to repeat
      bool peerDone = false, failed = false;
      std::vector<char> buf(65536);
      while (!stop_ && !failed) {
        bool wantWrite = false;
        for (;;) {
          ERR_clear_error();
          int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
          if (n > 0) {
            if (c.Mode != TlsServerConfig::kBurst) out.append(buf.data(), static_cast<size_t>(n));
            continue;
          }
          int e = SSL_get_error(ssl, n);
          if (e == SSL_ERROR_WANT_READ) break;
          if (e == SSL_ERROR_WANT_WRITE) {
            wantWrite = true;
            break;
          }
          if (e == SSL_ERROR_ZERO_RETURN) peerDone = true;
          else failed = true;
          break;
        }
        if (failed) break;
        if (c.Mode == TlsServerConfig::kKeyUpdateEcho && !out.empty() && pending == 0) {
          SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
        }
        while (!out.empty()) {
          size_t len = pending ? pending : std::min<size_t>(out.size(), 16384);
          ERR_clear_error();
          int n = SSL_write(ssl, out.data(), static_cast<int>(len));
          if (n > 0) {
            out.erase(0, static_cast<size_t>(n));
            pending = 0;
            continue;
          }
          int e = SSL_get_error(ssl, n);
          if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
            pending = len;
            wantWrite = wantWrite || e == SSL_ERROR_WANT_WRITE;
            break;
          }
          failed = true;
          break;
        }
        if (failed) break;
        if (out.empty() && (peerDone || closeWhenDrained)) {
          SSL_shutdown(ssl);
          break;
        }
        wait(static_cast<short>(POLLIN | (wantWrite || !out.empty() ? POLLOUT : 0)));
      }
    }
  }
  SSL_free(ssl);
  ::close(fd);
  finished_++;
}

// ---------------------------------------------------------------------------

DrainThenClosePeer::DrainThenClosePeer(int quietMs) {
  listen_fd_ = ListenLoopback(port_);
  if (listen_fd_ < 0) throw std::runtime_error("listen failed");
  // One thread serving connections one after the other; every wait is a slice
  // of at most quietMs or kPollSliceMs, re-checking stop_.
  thread_ = std::thread([this, quietMs] {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      char buf[4096];
      for (;;) {
        pollfd q{fd, POLLIN, 0};
        if (stop_ || ::poll(&q, 1, quietMs) <= 0) break;
        if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
      }
      ::close(fd);
    }
  });
}

DrainThenClosePeer::~DrainThenClosePeer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

// ---------------------------------------------------------------------------
// openssl s_server

namespace {

std::vector<std::string> SServerArgv(const std::string& stem, const std::string& chain, uint16_t port,
                                     std::vector<std::string> extra) {
  std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                                   Certificates().Path(stem + ".pem"), "-key", Certificates().Path(stem + ".key"),
                                   "-rev"};
  if (!chain.empty()) argv.insert(argv.end(), {"-cert_chain", Certificates().Path(chain)});
  bool cipherGiven = false;
  for (const auto& e : extra) cipherGiven = cipherGiven || e == "-cipher";
  if (!cipherGiven) argv.insert(argv.end(), {"-cipher", "DEFAULT:@SECLEVEL=0"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

}  // namespace

SServer::SServer(const std::string& stem, const std::string& chain, std::vector<std::string> extra)
    : port_(FreePort()), process_(SServerArgv(stem, chain, port_, std::move(extra))) {}

int RunCommand(const std::string& command, std::string& out, std::string& err) {
  TempDir dir;
  const std::string outPath = dir.Path() + "/out";
  const std::string errPath = dir.Path() + "/err";
  const std::string line = command + " </dev/null >'" + outPath + "' 2>'" + errPath + "'";
  const int status = std::system(line.c_str());
  const auto slurp = [](const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
    }
    return text;
  };
  out = slurp(outPath);
  err = slurp(errPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace sorvik::test
