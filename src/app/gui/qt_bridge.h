// The Qt side of the application core's interfaces: the synchronous hand-over
// of tunnel events to the UI thread, Yes/No questions with QMessageBox, the
// autostart timer on QTimer, and an application object that catches errors
// escaping window events.
#pragma once

#include <QApplication>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/app_core.h"

namespace sorvik {

// Runs closures of worker threads on the UI thread (the thread that created
// it) and lets the worker wait until its closure has run.
//
// Thread contract: constructed and destroyed on the UI thread; RunSync from any
// thread.
class TQtDispatcher : public IUiDispatcher {
 public:
  TQtDispatcher();
  // Wakes every worker still waiting; their closures never run.
  ~TQtDispatcher() override;
  TQtDispatcher(const TQtDispatcher&) = delete;
  TQtDispatcher& operator=(const TQtDispatcher&) = delete;

  // On the UI thread runs `fn` at once. Elsewhere queues it to the UI thread's
  // event loop (handled also inside modal dialogs) and waits until it has run,
  // `token` is cancelled, or the dispatcher is destroyed; nothing else bounds
  // the wait. A closure whose token was cancelled before it ran is skipped.
  void RunSync(std::function<void()> fn, const std::shared_ptr<TDeliveryToken>& token) override;

 private:
  struct State {
    std::mutex mutex;             // guards closed and every call's done flag
    std::condition_variable cv;   // a call finished, a token was cancelled, or closed
    bool closed = false;          // guarded by mutex
  };
  std::shared_ptr<State> state_;
  QObject* receiver_;  // lives on the UI thread; owned
};

enum class TAskKind { Warning, Question, Error, Information };

// Yes/No questions and notices in message boxes. Tests answer ahead of time:
// queued answers are used in order instead of showing a box (a notice takes
// one answer and ignores its value).
//
// Thread contract: UI thread only.
class TQtAsker : public IAsker {
 public:
  struct TQuestion {
    std::string Title;
    std::string Text;
    TAskKind Kind;
  };

  bool AskYesNo(const std::string& title, const std::string& text, TAskIcon icon) override;
  // The unexpected-error question (error icon).
  bool AskError(const std::string& title, const std::string& text);
  // A notice with an OK button (kind Warning or Information).
  void Inform(const std::string& title, const std::string& text, TAskKind kind);

  // The window a question belongs to when no window is active (the main window).
  void SetOwner(QWidget* owner) { owner_ = owner; }
  void SetNextAnswers(std::deque<bool> answers) { next_answers_ = std::move(answers); }
  size_t PendingAnswers() const { return next_answers_.size(); }
  // Every question asked so far, in order.
  const std::vector<TQuestion>& Asked() const { return asked_; }

 private:
  bool Ask(const std::string& title, const std::string& text, TAskKind kind);

  std::deque<bool> next_answers_;
  std::vector<TQuestion> asked_;
  QPointer<QWidget> owner_;
};

// The autostart timer: a single-shot QTimer that calls `fired` when it expires.
//
// Thread contract: UI thread only.
class TQtTimer : public IOneShotTimer {
 public:
  explicit TQtTimer(std::function<void()> fired);
  void StartTimer(int32_t ms) override;
  void StopTimer() override;

  bool IsActive() const { return timer_.isActive(); }
  int Interval() const { return timer_.interval(); }
  QTimer& Timer() { return timer_; }

 private:
  QTimer timer_;
};

// Catches errors that escape an event handler and passes them to `handler`
// (the main window's unexpected-error handler) instead of ending the process.
//
// Thread contract: UI thread.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  using THandler = std::function<void(const std::exception&)>;
  void SetErrorHandler(THandler handler) { handler_ = std::move(handler); }
  const THandler& ErrorHandler() const { return handler_; }

 private:
  THandler handler_;
};

}  // namespace sorvik
