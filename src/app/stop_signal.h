// SIGINT and SIGTERM as a readable descriptor (the self-pipe trick), for the
// window (a socket notifier on the UI thread) and the window-less mode (its
// poll loop): the signal handler only writes one byte, and the thread that
// watches ReadFd() runs the stop on its own time.
//
// Thread contract: made, drained and destroyed on the main thread; at most one
// lives at a time (the handler writes to the pipe of the one that lives). The
// handler runs on whichever thread the signal meets and is async-signal-safe.
#pragma once

#include <csignal>

namespace sorvik {

class TStopSignalPipe {
 public:
  // Makes the pipe and installs the handler for SIGINT and SIGTERM. When the
  // pipe cannot be made, nothing is installed and Installed() is false.
  TStopSignalPipe();
  // Puts back the handlers found at construction and closes the pipe.
  ~TStopSignalPipe();
  TStopSignalPipe(const TStopSignalPipe&) = delete;
  TStopSignalPipe& operator=(const TStopSignalPipe&) = delete;

  bool Installed() const { return installed_; }
  // Readable once a signal has come; -1 when not installed.
  int ReadFd() const;
  // Reads away what the handler wrote (never waits).
  void Drain();

 private:
  bool installed_ = false;
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// SIGHUP as a readable descriptor, the same way: the window-less mode reloads
// its settings when it reads it. Same thread contract as TStopSignalPipe.
class THangupSignalPipe {
 public:
  THangupSignalPipe();
  ~THangupSignalPipe();
  THangupSignalPipe(const THangupSignalPipe&) = delete;
  THangupSignalPipe& operator=(const THangupSignalPipe&) = delete;

  bool Installed() const { return installed_; }
  int ReadFd() const;
  void Drain();

 private:
  bool installed_ = false;
  struct sigaction old_hup_ {};
};

}  // namespace sorvik
