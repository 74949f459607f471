// One program per data directory. The first start holds the lock file
// "sorvik.lock" in the data directory for its whole run and answers show
// requests on a local socket named after the directory; a later start with the
// same data directory asks it to show its window and ends. A lock left behind
// by a crashed instance names a process that no longer runs and is taken over.
//
// Thread contract: the main (UI) thread only.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "app/settings/settings.h"  // kLockFileName

class QLocalServer;
class QLockFile;

namespace sorvik {

// Exit status of a start that found another instance it could not hand over to.
inline constexpr int kExitAlreadyRunning = 3;

class TInstanceLock {
 public:
  enum class TResult {
    Acquired,     // this process is the instance of the data directory
    HeldByOther,  // a running process holds it (OwnerPid)
    Unavailable,  // no lock file can be made there (missing or read-only directory)
  };

  // `dataDir` ends with "/". `createDir`: make the directory (mode 0700) when it
  // is missing, as saving the settings would.
  TInstanceLock(const std::string& dataDir, bool createDir);
  ~TInstanceLock();  // releases the lock when held
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // One attempt; a stale lock (its process has gone) is removed and taken.
  TResult TryLock();
  // The holder's process id after HeldByOther (0 when unknown).
  long long OwnerPid() const;
  const std::string& Path() const { return path_; }
  // Why the lock file could not be made, after Unavailable.
  const std::string& Problem() const { return problem_; }

 private:
  std::string path_;
  std::string problem_;
  std::unique_ptr<QLockFile> lock_;
};

// The local socket name of a data directory: a path in $XDG_RUNTIME_DIR (or the
// temporary directory) holding the user id and a hash of the directory's
// canonical path, so that two spellings of one directory meet.
std::string ShowRequestSocketName(const std::string& dataDir);

// The running instance's side: answers each "show" request by calling
// `onShow` (UI thread, from the event loop) and confirming it.
class TShowRequestServer : public QObject {
  Q_OBJECT

 public:
  TShowRequestServer(std::function<void()> onShow, QObject* parent = nullptr);
  ~TShowRequestServer() override;
  // Listens on ShowRequestSocketName(dataDir), replacing a socket file left by a
  // crashed instance (the caller holds the lock). False when that fails.
  bool Listen(const std::string& dataDir);

 private:
  std::function<void()> on_show_;
  QLocalServer* server_;
};

// The later start's side: asks the instance of `dataDir` to show its window.
// True once it confirmed within `timeoutMs`.
bool RequestShow(const std::string& dataDir, int timeoutMs);

}  // namespace sorvik
