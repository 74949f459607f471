#include "net/thread_wake.h"

#include <signal.h>
#include <time.h>

#include <mutex>

namespace sorvik {

namespace {

// A real-time signal from the top of the range, away from SIGRTMIN, which
// libraries that use a real-time signal of their own usually take.
int WakeSignal() { return SIGRTMAX - 2; }

void OnWakeSignal(int) {}

// The empty handler, installed once before any thread can be sent the signal
// (the default action of a real-time signal ends the process).
void InstallHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = OnWakeSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the sleep ends with EINTR
    ::sigaction(WakeSignal(), &sa, nullptr);
  });
}

// The calling thread's blocking of the wake signal: how many scopes hold it,
// whether it stays for the thread's life, whether it was blocked before, and
// the mask that WakeablePoll() sleeps with (the thread's mask without it).
thread_local int t_depth = 0;
thread_local bool t_for_life = false;
thread_local bool t_was_blocked = false;
thread_local sigset_t t_sleep_mask;

void BlockForScope() {
  if (t_depth++ > 0 || t_for_life) return;
  InstallHandler();
  sigset_t wake, old;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  ::pthread_sigmask(SIG_BLOCK, &wake, &old);
  t_was_blocked = sigismember(&old, WakeSignal()) == 1;
  t_sleep_mask = old;
  sigdelset(&t_sleep_mask, WakeSignal());
}

void UnblockForScope() {
  if (--t_depth > 0 || t_for_life || t_was_blocked) return;
  // A wake that came after the last sleep is delivered here, to the empty
  // handler: nothing is left pending for a later wait of this thread.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
}

}  // namespace

void BlockWakeSignalForThread() {
  if (t_for_life) return;
  if (t_depth == 0) {
    BlockForScope();
    t_depth = 0;
  }
  t_for_life = true;
  t_was_blocked = true;  // never unblocked again
}

void TWaker::Wake() {
  woken_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(mutex_);
  // Only a thread inside a scope is signalled, so the thread exists; a
  // thread that has just woken for another reason finds the signal pending
  // at its next sleep and looks at its flags again.
  if (depth_ > 0) ::pthread_kill(thread_, WakeSignal());
}

void TWaker::WakeUnlessPollingStop() {
  woken_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(mutex_);
  // A scope made after this sees the flag; one that polls the stop
  // descriptor sees that readable.
  if (blind_ > 0) ::pthread_kill(thread_, WakeSignal());
}

TWaker::Scope::Scope(TWaker& waker, bool pollsStop) : waker_(waker), polls_stop_(pollsStop) {
  BlockForScope();
  std::lock_guard<std::mutex> lock(waker_.mutex_);
  waker_.thread_ = ::pthread_self();
  ++waker_.depth_;
  if (!polls_stop_) ++waker_.blind_;
}

TWaker::Scope::~Scope() {
  {
    std::lock_guard<std::mutex> lock(waker_.mutex_);
    --waker_.depth_;
    if (!polls_stop_) --waker_.blind_;
  }
  UnblockForScope();
}

int WakeablePoll(pollfd* fds, nfds_t count, int timeoutMs) {
  if (t_depth == 0 && !t_for_life) return ::poll(fds, count, timeoutMs);
  timespec ts{};
  if (timeoutMs >= 0) {
    ts.tv_sec = timeoutMs / 1000;
    ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
  }
  return ::ppoll(fds, count, timeoutMs >= 0 ? &ts : nullptr, &t_sleep_mask);
}

}  // namespace sorvik
