// TfCertificateFetch, "Fetch from server…" of the SSL tab: fetches the
// certificate of the tunnel's server the way the tunnel would meet it (through
// its proxies, with its server-name and client-certificate choices), shows it
// with the chain check's verdict, and offers "Use these pins". When the chain
// check fails (a self-signed server) and the tunnel has that check on, it also
// offers to turn the check off, which a tunnel pinned to such a server needs.
//
// Thread contract: the dialog lives on the UI thread. The fetch runs on a
// thread of its own and hands its result back to the UI thread; "Cancel",
// closing the dialog or destroying it ends the fetch, and the destructor waits
// for the thread (bounded by the fetch's Cancel).
#pragma once

#include <QDialog>

#include <memory>
#include <string>
#include <thread>

#include "tunnel/certificate_fetch.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace sorvik {

// How long a fetch may take, proxies and handshake included.
inline constexpr int kFetchTimeLimitMs = 30000;

// The pins of a fetched certificate, as the settings hold them.
struct TFetchedPins {
  std::string PinnedKeys;   // "SSLPinnedKeys"
  std::string Fingerprint;  // "SSLFingerprint"
  std::string SubjectHash;  // "SSLSubjectHash"
  std::string IssuerHash;   // "SSLIssuerHash"
  // The chain check failed and the user kept the offer to turn "Check chain
  // and host name" off: the key pin alone then admits the server.
  bool TurnOffChainCheck = false;
};

class TfCertificateFetch : public QDialog {
  Q_OBJECT

 public:
  // Starts the fetch at once. `fields` as the properties dialog holds them now.
  TfCertificateFetch(const TunnelSettings& fields, int32_t port, int timeLimitMs = kFetchTimeLimitMs,
                     QWidget* parent = nullptr);
  ~TfCertificateFetch() override;

  // After "Use these pins" (the dialog is accepted): the pins to fill in.
  const TFetchedPins& Pins() const { return pins_; }
  // True once the fetch has ended (with or without a certificate).
  bool Finished() const { return finished_; }
  // "Cancel", Escape, the close button: ends the fetch as well.
  void reject() override;
  void accept() override;

 private:
  void Show(const TCertificateFetchResult& result);

  std::shared_ptr<TCertificateFetch> fetch_;  // shared with the fetch thread
  std::thread thread_;
  TFetchedPins pins_;
  bool finished_ = false;
  const bool chain_check_on_;  // the tunnel's "Check chain and host name"
  bool offer_chain_off_ = false;
  QLabel* status_;
  QCheckBox* chain_off_;
  QPlainTextEdit* details_;
  QPushButton* use_;
  QPushButton* cancel_;
};

}  // namespace sorvik
