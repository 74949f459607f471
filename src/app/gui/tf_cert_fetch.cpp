#include "app/gui/tf_cert_fetch.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/gui/gui_text.h"
#include "tls/certificate_check.h"

namespace sorvik {

TfCertificateFetch::TfCertificateFetch(const TunnelSettings& fields, int32_t port, int timeLimitMs,
                                       QWidget* parent)
    : QDialog(parent), fetch_(std::make_shared<TCertificateFetch>(fields, port)) {
  setObjectName(QStringLiteral("fCertificateFetch"));
  setWindowTitle(QStringLiteral("Server certificate"));
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("lbFetchStatus"));
  status_->setWordWrap(true);
  status_->setText(Q("Fetching the certificate of " + fields.Server + ":" + std::to_string(port & 0xFFFF) +
                     (UsesProxy(fields.ProxyType) ? " through the tunnel's proxies" : "") + "…"));
  details_ = new QPlainTextEdit(this);
  details_->setObjectName(QStringLiteral("mmCertificate"));
  details_->setReadOnly(true);
  details_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  details_->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* buttons = new QDialogButtonBox(this);
  use_ = buttons->addButton(QStringLiteral("Use these pins"), QDialogButtonBox::AcceptRole);
  use_->setObjectName(QStringLiteral("btnUsePins"));
  use_->setEnabled(false);
  use_->setToolTip(QStringLiteral("Fill in the key pin and the MD5 fingerprint and name hashes of this certificate"));
  cancel_ = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  cancel_->setObjectName(QStringLiteral("btnCancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TfCertificateFetch::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(status_);
  layout->addWidget(details_, 1);
  layout->addWidget(buttons);
  resize(640, 380);

  // The fetch thread hands its result to the UI thread as an event for this
  // dialog. The dialog outlives the thread (the destructor cancels and joins
  // before the object goes), and an event still queued when it goes is
  // dropped with it.
  std::shared_ptr<TCertificateFetch> fetch = fetch_;
  thread_ = std::thread([this, fetch, timeLimitMs] {
    TCertificateFetchResult result = fetch->Run(timeLimitMs);
    QMetaObject::invokeMethod(
        this, [this, result = std::move(result)] { Show(result); }, Qt::QueuedConnection);
  });
}

TfCertificateFetch::~TfCertificateFetch() {
  fetch_->Cancel();
  if (thread_.joinable()) thread_.join();
}

void TfCertificateFetch::reject() {
  fetch_->Cancel();
  QDialog::reject();
}

void TfCertificateFetch::Show(const TCertificateFetchResult& result) {
  finished_ = true;
  cancel_->setText(QStringLiteral("Close"));
  if (!result.Ok) {
    status_->setText(QLines("No certificate: " + result.Error));
    return;
  }
  const TCertificateDetails& d = result.Details;
  status_->setText(d.Chain.Ok ? QStringLiteral("The chain check passes: a trusted certificate for this host.")
                              : Q("The chain check fails: " + d.Chain.Reason + "."));
  details_->setPlainText(Q(FormatCertificateDetails(d)));
  pins_ = TFetchedPins{d.KeyPin, d.Md5Fingerprint, d.SubjectHash, d.IssuerHash};
  use_->setEnabled(!d.KeyPin.empty());
  use_->setDefault(true);
}

}  // namespace sorvik
