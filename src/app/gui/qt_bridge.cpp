#include "app/gui/qt_bridge.h"

#include "app/gui/gui_text.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>
#include <stdexcept>

namespace sorvik {
// ---- TQtDispatcher ----

TQtDispatcher::TQtDispatcher() : state_(std::make_shared<State>()), receiver_(new QObject) {}

TQtDispatcher::~TQtDispatcher() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->closed = true;
  }
  state_->cv.notify_all();
  delete receiver_;  // queued closures not yet run are dropped with it
}

void TQtDispatcher::RunSync(std::function<void()> fn, const std::shared_ptr<TDeliveryToken>& token) {
  if (QThread::currentThread() == receiver_->thread()) {
    if (!token || !token->Cancelled()) fn();
    return;
  }
  auto state = state_;
  auto done = std::make_shared<bool>(false);  // guarded by state->mutex
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closed) return;
  }
  // UI thread: runs the closure unless its delivery was cancelled meanwhile,
  // then releases the waiting worker. Failures inside it are ignored.
  auto call = [state, done, token, fn = std::move(fn)]() {
    if (!token || !token->Cancelled()) {
      try {
        fn();
      } catch (...) {
      }
    }
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      *done = true;
    }
    state->cv.notify_all();
  };
  TDeliveryToken::WakeId wakeId = 0;
  if (token) {
    wakeId = token->OnCancel([state]() {
      // Taking the mutex orders this wake-up after the worker's predicate check.
      { std::lock_guard<std::mutex> lock(state->mutex); }
      state->cv.notify_all();
    });
  }
  QMetaObject::invokeMethod(receiver_, std::move(call), Qt::QueuedConnection);
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    // Bounded by the UI thread running the closure, the token's cancellation
    // (events switched off before anyone waits for this worker), or closing.
    state->cv.wait(lock, [&] { return *done || state->closed || (token && token->Cancelled()); });
  }
  if (token) token->Unsubscribe(wakeId);
}

// ---- TQtAsker ----

bool TQtAsker::AskYesNo(const std::string& title, const std::string& text, TAskIcon icon) {
  return Ask(title, text, icon == TAskIcon::Warning ? TAskKind::Warning : TAskKind::Question);
}

bool TQtAsker::AskError(const std::string& title, const std::string& text) {
  return Ask(title, text, TAskKind::Error);
}

void TQtAsker::Inform(const std::string& title, const std::string& text, TAskKind kind) {
  asked_.push_back({title, text, kind});
  if (!next_answers_.empty()) {
    next_answers_.pop_front();
    return;
  }
  QWidget* parent = QApplication::activeWindow();
  if (parent == nullptr) parent = owner_;
  QMessageBox box(kind == TAskKind::Information ? QMessageBox::Information : QMessageBox::Warning, QLines(title), QLines(text),
                  QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("noticeBox"));
  // Modal to its window only: the tray icon and its menu stay usable.
  if (parent != nullptr) box.setWindowModality(Qt::WindowModal);
  box.exec();
}

bool TQtAsker::Ask(const std::string& title, const std::string& text, TAskKind kind) {
  asked_.push_back({title, text, kind});
  if (!next_answers_.empty()) {
    const bool answer = next_answers_.front();
    next_answers_.pop_front();
    return answer;
  }
  const QMessageBox::Icon icon = kind == TAskKind::Warning       ? QMessageBox::Warning
                                 : kind == TAskKind::Question    ? QMessageBox::Question
                                 : kind == TAskKind::Information ? QMessageBox::Information
                                                                 : QMessageBox::Critical;
  QWidget* parent = QApplication::activeWindow();
  if (parent == nullptr) parent = owner_;
  QMessageBox box(icon, QLines(title), QLines(text), QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName(QStringLiteral("askBox"));
  // Modal to its window only: the tray icon and its menu stay usable.
  if (parent != nullptr) box.setWindowModality(Qt::WindowModal);
  return box.exec() == QMessageBox::Yes;
}

// ---- TQtTimer ----

TQtTimer::TQtTimer(std::function<void()> fired) {
  timer_.setSingleShot(true);
  timer_.setObjectName(QStringLiteral("autostartTimer"));
  QObject::connect(&timer_, &QTimer::timeout, [fired = std::move(fired)]() { fired(); });
}

void TQtTimer::StartTimer(int32_t ms) { timer_.start(ms < 0 ? 0 : ms); }

void TQtTimer::StopTimer() { timer_.stop(); }

// ---- TApplication ----

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    if (handler_) handler_(error);
  } catch (...) {
    if (handler_) handler_(std::runtime_error("Unknown error"));
  }
  return false;
}

}  // namespace sorvik
