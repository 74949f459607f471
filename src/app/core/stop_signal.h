// SIGINT and SIGTERM as a readable descriptor (the self-pipe trick), for the
// window (a socket notifier on the UI thread) and the window-less mode (its
// poll loop): the signal handler only writes one byte, and the thread that
// watches ReadFd() runs the stop on its own time.
//
// A signal that comes while no pipe lives for it is remembered when the
// handler is in place (HoldHangupSignal, or a pipe that kept its handler at
// its end), and the next pipe made for it is readable at once.
//
// Thread contract: made, drained and destroyed on the main thread; at most one
// lives at a time for each signal (the handler writes to the pipe of the one
// that lives). HoldHangupSignal and ReleaseHeldHangup run on the main thread
// before any other thread is made. The handler runs on whichever thread the
// signal meets and is async-signal-safe.
#pragma once

#include <csignal>
#include <initializer_list>
#include <utility>
#include <vector>

namespace sorvik {

// The pipe that a set of signals writes to.
class TSignalPipe {
 public:
  // Makes the pipe and installs the handler for each of `signalNumbers`. When the
  // pipe cannot be made, nothing is installed and Installed() is false.
  explicit TSignalPipe(std::initializer_list<int> signalNumbers);
  // Puts back the handlers found at construction and closes the pipe.
  ~TSignalPipe();
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  bool Installed() const { return pipe_[0] >= 0; }
  // The handlers stay when the pipe goes, for the rest of the process: a
  // signal then only is remembered. For a process that is ending, whose
  // exit status a late signal must not change.
  void KeepHandlersAtEnd() { keep_ = true; }
  // Readable once a signal has come; -1 when not installed.
  int ReadFd() const { return pipe_[0]; }
  // Reads away what the handler wrote (never waits).
  void Drain();

 private:
  int pipe_[2] = {-1, -1};
  bool keep_ = false;
  std::vector<std::pair<int, struct sigaction>> old_;  // each signal's handler before
};

// SIGINT and SIGTERM: the window and the window-less mode stop.
class TStopSignalPipe : public TSignalPipe {
 public:
  TStopSignalPipe() : TSignalPipe({SIGINT, SIGTERM}) {}
};

// SIGHUP: the window-less mode reloads its settings when it reads it.
class THangupSignalPipe : public TSignalPipe {
 public:
  THangupSignalPipe() : TSignalPipe({SIGHUP}) {}
};

// SIGHUP from the very start of the process: caught and remembered (and
// unblocked, should the process have been started with it blocked) until a
// THangupSignalPipe takes it over, which then is readable at once. Without
// it, SIGHUP in the moment between the start and the window-less mode's pipe
// would end the process.
void HoldHangupSignal();
// For the commands that end by themselves: SIGHUP as it was before
// HoldHangupSignal; one that came meanwhile ends the process now as it would
// have then.
void ReleaseHeldHangup();

}  // namespace sorvik
