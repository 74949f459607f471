// TLS test fixtures: a throw-away PKI written at run time, the pins of a
// certificate as the `openssl x509` commands print them, and a small TLS server
// on OpenSSL inside the test process.
//
// Thread contract: each object is used from the test's thread; the server runs
// an accept thread and one thread per connection, joined by Stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/net_fixtures.h"

namespace sorvik::test {

// root (self-signed CA) -> inter (CA) -> leaf "CN=localhost" (SAN localhost,
// 127.0.0.1); expired (by inter, valid only in January 2020); other (an unrelated
// self-signed server certificate); elsewhere (by inter, for elsewhere.example
// and *.elsewhere.example); future (by inter, valid from a year on). PEM files
// in a temp dir; the *-chain.pem files hold the server certificate followed by
// the intermediate. Client certificates: client-ca.pem signs "newsreader",
// stored as client-combined.pem (certificate and key), client-split.pem with
// client-split.key, client-nokey.pem (no key anywhere), client-encrypted.pem
// (key under a pass phrase) and client-mismatch.pem (another certificate's key).
// Below today's security level, each for "localhost" with an otherwise sound
// chain: sha1-chain.pem (leaf signed with SHA-1), sha1inter-chain.pem (its
// intermediate signed with SHA-1), rsa1024-chain.pem (an RSA-1024 leaf key).
// cnonly-chain.pem names "localhost" only in its common name (no
// subjectAltName); rsa-chain.pem has an RSA-2048 key (plain-RSA key exchange).
// Each *-chain.pem has its key in the file of the same stem with ".key", and
// the server certificate alone in the stem's ".pem" (sha1inter-ca.pem: the
// SHA-1 intermediate alone).
class CertificateSet {
 public:
  // `rsa` false: P-256 keys (fast); true: RSA 2048 (as most servers).
  explicit CertificateSet(bool rsa = false);
  const std::string& Dir() const { return dir_.Path(); }
  std::string Path(const std::string& file) const { return dir_.Path() + "/" + file; }

 private:
  TempDir dir_;
};

// The process-wide set (made once; P-256 keys).
const CertificateSet& Certificates();

// The three pins in the program's text forms, taken with the openssl CLI:
//   -fingerprint -md5, -subject_hash_old, -issuer_hash_old (upper case).
struct Pins {
  std::string Fingerprint;
  std::string SubjectHash;
  std::string IssuerHash;
  std::string Subject;  // -subject -nameopt compat (the one-line form)
  std::string Issuer;
};
Pins PinsFromCli(const std::string& pemPath);
// The SHA-256 key pin of the certificate in `pemPath` ("sha256//" and the
// base64 of the hash of its public key), taken with the openssl CLI.
std::string CliKeyPin(const std::string& pemPath);

// Makes the private CA of Certificates() the only one this machine trusts, as
// SSL_CERT_FILE and SSL_CERT_DIR make it for OpenSSL and openssl s_client.
// Register it with ::testing::AddGlobalTestEnvironment.
class TrustPrivateCa : public ::testing::Environment {
 public:
  void SetUp() override;
};

// Runs a shell command and returns its standard output.
std::string RunCommand(const std::string& command);
// Runs a shell command with standard input from /dev/null; returns its exit
// status (-1 when it did not exit) and fills its standard output and error.
int RunCommand(const std::string& command, std::string& out, std::string& err);

// openssl s_server on loopback with a fixture certificate (`stem`.pem and
// `stem`.key of Certificates()) and the certificates it sends after it
// (`chain`, a file of Certificates(); empty for none), answering each line
// reversed (-rev). `extra` adds options (versions, ciphers, client
// certificates). The server itself runs at security level 0 unless `extra`
// names ciphers, so that it loads and offers whatever it is given.
class SServer {
 public:
  SServer(const std::string& stem, const std::string& chain, std::vector<std::string> extra = {});
  bool Ready() { return process_.WaitForPort(port_); }
  uint16_t Port() const { return port_; }
  std::string Stderr() const { return process_.Stderr(); }

 private:
  uint16_t port_;
  ChildProcess process_;
};

struct TlsServerConfig {
  std::string CertChainFile;  // server certificate first, then intermediates
  std::string KeyFile;
  int MaxVersion = 0;         // 0: the library's highest; TLS1_2_VERSION forces 1.2
  int Tickets = 2;            // TLS 1.3 session tickets sent after the handshake
  enum Behaviour {
    kEcho,            // echoes everything, never stops reading while it writes
    kKeyUpdateEcho,   // echoes, and requests a key update before every echo
    kBurst,           // sends BurstBytes of RandomBytes(Seed), then a closing alert
    kGarbage,         // sends clear-text garbage right after the handshake
    kResetMidRecord,  // sends the first part of a record, then resets
    kStallMidRecord,  // sends the first part of a record, then stays quiet until the client goes
  };
  Behaviour Mode = kEcho;
  size_t BurstBytes = 0;
  uint32_t Seed = 7;
  bool AskClientCertificate = false;  // request (not require) a client certificate
};

// Loopback TLS server on port 0, one thread per connection.
class TlsServer {
 public:
  explicit TlsServer(TlsServerConfig config);
  ~TlsServer();  // Stop()
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }
  int Handshakes() const { return handshakes_.load(); }
  // Handshakes in which the client named a server (SNI) / sent a certificate.
  int ServerNamesSeen() const { return sni_seen_.load(); }
  int ClientCertificatesSeen() const { return client_certs_.load(); }
  // Connections whose thread has ended.
  int Finished() const { return finished_.load(); }
  // Protocol version of the last handshake ("TLSv1.3").
  std::string LastVersion() const;
  // Address the last accepted connection came from ("127.0.0.1").
  std::string LastPeerAddress() const;
  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd);
  TlsServerConfig config_;
  void* ctx_ = nullptr;  // SSL_CTX*
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0}, handshakes_{0}, sni_seen_{0}, client_certs_{0}, finished_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;          // guards threads_, last_version_ and last_peer_
  std::vector<std::thread> threads_;  // guarded by mutex_
  std::string last_version_;          // guarded by mutex_
  std::string last_peer_;             // guarded by mutex_
};

// A loopback peer (port 0) that reads each connection until it has been quiet
// for `quietMs`, then closes it with a FIN: a server that hangs up in the middle
// of the handshake without any TLS alert.
class DrainThenClosePeer {
 public:
  explicit DrainThenClosePeer(int quietMs = 300);
  ~DrainThenClosePeer();
  DrainThenClosePeer(const DrainThenClosePeer&) = delete;
  DrainThenClosePeer& operator=(const DrainThenClosePeer&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace sorvik::test
