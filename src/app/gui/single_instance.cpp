#include "app/gui/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/gui/gui_text.h"

namespace sorvik {
namespace {

// The request and its confirmation, one line each.
constexpr char kShowRequest[] = "show\n";
constexpr char kShowConfirm[] = "shown\n";

// mkdir -p with mode 0700 for the directories it makes; returns 0 or an errno.
int MakeDirectories(const std::string& dir) {
  std::string path;
  size_t at = 0;
  while (at != std::string::npos) {
    at = dir.find('/', at + 1);
    path = dir.substr(0, at);
    if (path.empty() || path == "/") continue;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

}  // namespace

// ---- TInstanceLock ----

TInstanceLock::TInstanceLock(const std::string& dataDir, bool createDir) : path_(dataDir + kLockFileName) {
  if (createDir) {
    if (const int error = MakeDirectories(dataDir); error != 0) problem_ = std::strerror(error);
  }
  lock_ = std::make_unique<QLockFile>(Q(path_));
  // Held for the whole run: never stale by age, only when its process has gone.
  lock_->setStaleLockTime(0);
}

TInstanceLock::~TInstanceLock() = default;  // QLockFile unlocks (removes the file) when it holds the lock

TInstanceLock::TResult TInstanceLock::TryLock() {
  if (lock_->isLocked()) return TResult::Acquired;
  if (lock_->tryLock(0)) return TResult::Acquired;
  switch (lock_->error()) {
    case QLockFile::LockFailedError:
      return TResult::HeldByOther;
    case QLockFile::PermissionError:
      if (problem_.empty()) problem_ = "permission denied";
      return TResult::Unavailable;
    default:
      if (problem_.empty()) problem_ = "the lock file cannot be made";
      return TResult::Unavailable;
  }
}

long long TInstanceLock::OwnerPid() const {
  qint64 pid = 0;
  QString host, app;
  return lock_->getLockInfo(&pid, &host, &app) ? static_cast<long long>(pid) : 0;
}

// ---- socket name ----

std::string ShowRequestSocketName(const std::string& dataDir) {
  const QString dir = Q(dataDir);
  QString canonical = QFileInfo(dir).canonicalFilePath();
  if (canonical.isEmpty()) canonical = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
  const QByteArray hash = QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
  QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (base.isEmpty()) base = QDir::tempPath();
  return S(base + QStringLiteral("/sorvik-%1-%2.sock").arg(::getuid()).arg(QString::fromLatin1(hash)));
}

// ---- TShowRequestServer ----

TShowRequestServer::TShowRequestServer(std::function<void()> onShow, QObject* parent)
    : QObject(parent), on_show_(std::move(onShow)), server_(new QLocalServer(this)) {
  server_->setObjectName(QStringLiteral("showRequestServer"));
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        while (socket->canReadLine()) {
          const QByteArray line = socket->readLine(64);
          if (line == kShowRequest) {
            if (on_show_) on_show_();
            socket->write(kShowConfirm);
            socket->flush();
          }
        }
        // Anything longer than a request is not one of ours.
        if (socket->bytesAvailable() > 64) socket->abort();
      });
    }
  });
}

TShowRequestServer::~TShowRequestServer() { server_->close(); }

bool TShowRequestServer::Listen(const std::string& dataDir) {
  const QString name = Q(ShowRequestSocketName(dataDir));
  QLocalServer::removeServer(name);  // left by a crashed instance: the lock says nobody else uses it
  return server_->listen(name);
}

// ---- RequestShow ----

bool RequestShow(const std::string& dataDir, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(Q(ShowRequestSocketName(dataDir)));
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  QByteArray answer;
  while (!answer.contains('\n')) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
    answer += socket.readAll();
    if (answer.size() > 64) return false;
  }
  return answer == kShowConfirm;
}

}  // namespace sorvik
