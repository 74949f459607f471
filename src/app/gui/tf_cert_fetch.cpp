#include "app/gui/tf_cert_fetch.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextOption>
#include <QVBoxLayout>

#include <algorithm>

#include "app/gui/gui_text.h"
#include "tls/certificate_check.h"

namespace sorvik {

TfCertificateFetch::TfCertificateFetch(const TunnelSettings& fields, int32_t port, int timeLimitMs,
                                       QWidget* parent)
    : QDialog(parent), fetch_(std::make_shared<TCertificateFetch>(fields, port)), chain_check_on_(fields.SSLVerifyChain) {
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
  // Long lines (names, the SHA-256 fingerprint) wrap instead of scrolling
  // sideways; a pin or fingerprint breaks only where it must.
  details_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  details_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  chain_off_ = new QCheckBox(QStringLiteral("Also turn off \"Check chain and host name\": the key pin protects the tunnel"),
                             this);
  chain_off_->setObjectName(QStringLiteral("cbTurnOffChainCheck"));
  chain_off_->setChecked(true);
  chain_off_->setVisible(false);
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
  layout->addWidget(chain_off_);
  layout->addWidget(buttons);
  // Wide enough for a key pin line of the sent chain on one line, within
  // the screen.
  const QString pinLine = QStringLiteral("   Key pin: sha256//") + QString(44, QLatin1Char('W'));
  const int pinWidth = details_->fontMetrics().horizontalAdvance(pinLine) +
                       static_cast<int>(2 * details_->document()->documentMargin()) + 2 * details_->frameWidth() +
                       style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, details_) +
                       layout->contentsMargins().left() + layout->contentsMargins().right() + 8;
  int width = std::max(640, pinWidth);
  if (const QScreen* screen = this->screen()) width = std::min(width, screen->availableGeometry().width() - 40);
  resize(width, 380);

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

void TfCertificateFetch::accept() {
  pins_.TurnOffChainCheck = offer_chain_off_ && chain_off_->isChecked();
  QDialog::accept();
}

void TfCertificateFetch::Show(const TCertificateFetchResult& result) {
  finished_ = true;
  cancel_->setText(QStringLiteral("Close"));
  if (!result.Ok) {
    status_->setText(QLines("No certificate: " + result.Error));
    return;
  }
  const TCertificateDetails& d = result.Details;
  // A tunnel that checks the chain refuses this server whatever its pins say:
  // "Use these pins" offers to turn that check off, and says so.
  offer_chain_off_ = !d.Chain.Ok && chain_check_on_ && !d.KeyPin.empty();
  if (d.Chain.Ok) {
    status_->setText(QStringLiteral("The chain check passes: a trusted certificate for this host."));
  } else if (offer_chain_off_) {
    status_->setText(Q("The chain check fails: " + d.Chain.Reason +
                       ". With \"Check chain and host name\" on, the tunnel would refuse this server: \"Use these "
                       "pins\" turns that check off, and the key pin then protects the tunnel."));
  } else {
    status_->setText(Q("The chain check fails: " + d.Chain.Reason + "."));
  }
  chain_off_->setVisible(offer_chain_off_);
  details_->setPlainText(Q(FormatCertificateDetails(d)));
  pins_ = TFetchedPins{d.KeyPin, d.Md5Fingerprint, d.SubjectHash, d.IssuerHash, false};
  use_->setEnabled(!d.KeyPin.empty());
  use_->setDefault(true);
}

}  // namespace sorvik
