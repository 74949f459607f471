// Shared set-up of the window tests: one QApplication for the test program
// (offscreen unless QT_QPA_PLATFORM says otherwise) and small helpers.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <string>

namespace sorvik::test {

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Path of a temporary directory with a trailing "/".
inline std::string WithSlash(const std::string& dir) { return dir.back() == '/' ? dir : dir + "/"; }

}  // namespace sorvik::test
