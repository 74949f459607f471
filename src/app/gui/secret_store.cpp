#include "app/gui/secret_store.h"

#include <QEventLoop>

#include <qt6keychain/keychain.h>

#include "tunnel/kestrune_item.h"

namespace sorvik {

namespace {

// Runs a job to its end in a local event loop; returns its result.
TSecretStore::TResult Finish(QKeychain::Job& job, std::string& error) {
  job.setAutoDelete(false);
  job.setInsecureFallback(false);  // never a plain file instead of the store
  QEventLoop loop;
  QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
  job.start();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  switch (job.error()) {
    case QKeychain::NoError: return TSecretStore::TResult::Ok;
    case QKeychain::EntryNotFound: return TSecretStore::TResult::NotFound;
    default:
      error = job.errorString().toStdString();
      if (error.empty()) error = "the secret store failed";
      return TSecretStore::TResult::Failed;
  }
}

QString QKey(const std::string& caption, int hop) { return QString::fromStdString(TSecretStore::Key(caption, hop)); }

}  // namespace

std::string TSecretStore::Key(const std::string& caption, int hop) { return caption + "/proxy" + std::to_string(hop); }

TSecretStore::TResult TSecretStore::Read(const std::string& caption, int hop, std::string& password,
                                         std::string& error) {
  QKeychain::ReadPasswordJob job(QString::fromLatin1(kService));
  job.setKey(QKey(caption, hop));
  const TResult r = Finish(job, error);
  if (r == TResult::Ok) password = job.textData().toStdString();
  return r;
}

TSecretStore::TResult TSecretStore::Write(const std::string& caption, int hop, const std::string& password,
                                          std::string& error) {
  QKeychain::WritePasswordJob job(QString::fromLatin1(kService));
  job.setKey(QKey(caption, hop));
  job.setTextData(QString::fromStdString(password));
  return Finish(job, error);
}

TSecretStore::TResult TSecretStore::Remove(const std::string& caption, int hop, std::string& error) {
  QKeychain::DeletePasswordJob job(QString::fromLatin1(kService));
  job.setKey(QKey(caption, hop));
  const TResult r = Finish(job, error);
  return r == TResult::NotFound ? TResult::Ok : r;
}

std::string TSecretStore::LoadPasswords(TKestruneItem& tunnel) {
  std::string caption, user1, user2, file1, file2;
  {
    std::lock_guard<std::mutex> lock(tunnel.FieldsLock);
    caption = ShownCaption(tunnel.Settings);
    user1 = tunnel.Settings.ProxyUser;
    user2 = tunnel.Settings.ProxyUser2;
    file1 = tunnel.Settings.ProxyPasswordFile;
    file2 = tunnel.Settings.ProxyPasswordFile2;
  }
  std::string lines;
  for (int hop : {1, 2}) {
    if ((hop == 1 ? user1 : user2).empty() || !(hop == 1 ? file1 : file2).empty()) continue;
    std::string password, error;
    const TResult r = Read(caption, hop, password, error);
    if (r == TResult::Failed) {
      if (!lines.empty()) lines += "\n";
      lines += "(Secret store) " + caption + " - proxy " + std::to_string(hop) + " password: " + error;
      continue;
    }
    if (r != TResult::Ok) continue;
    tunnel.Edit([&](TunnelSettings& t) { (hop == 1 ? t.ProxyPassword : t.ProxyPassword2) = password; });
  }
  return lines;
}

}  // namespace sorvik
