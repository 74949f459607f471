// Shared set-up of the window tests: one QApplication for the test program
// (offscreen unless QT_QPA_PLATFORM says otherwise) and small helpers.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <string>
#include <vector>

namespace sorvik::test {

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
// The default limit is long: a wait that succeeds ends as soon as its state is
// there, and the machine may be loaded by other builds.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Processes events until everything that was posted before this call (queued
// calls, zero timers, deferred updates) has run: a queued call of its own comes
// after them and ends the wait.
inline bool RunQueued(int timeoutMs = 30000) {
  bool ran = false;
  QMetaObject::invokeMethod(QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
  return PumpUntil([&ran] { return ran; }, timeoutMs);
}

// Lets what the window system has queued (a new window state, an exposure)
// reach the widgets, then runs whatever they posted in turn: afterwards, an
// effect that a change would have had has happened. One pass of the event
// loop delivers the platform's events after the posted ones, so a queued call
// alone could run before them.
inline bool Settle(int timeoutMs = 30000) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return RunQueued(timeoutMs);
}

// The texts of `top` (a shown window) that do not show whole: each visible
// label (a wrapped one as tall as its text needs at its width), button, check
// box and radio button as large as its text needs, and inside the window.
// One description per text cut.
std::vector<std::string> CutTexts(QWidget& top);

// Path of a temporary directory with a trailing "/".
inline std::string WithSlash(const std::string& dir) { return dir.back() == '/' ? dir : dir + "/"; }

}  // namespace sorvik::test
