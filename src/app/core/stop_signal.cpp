#include "app/core/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sorvik {

namespace {

// The write end of the pipe each signal's handler writes to, by signal
// number, plus one (0: none). Set before the handler is installed and reset
// after it is taken away again.
volatile sig_atomic_t g_write_end[NSIG];
// Signals that came while no pipe lived for them, by signal number.
volatile sig_atomic_t g_held[NSIG];

// HoldHangupSignal's record of what it changed, for ReleaseHeldHangup (main
// thread only).
struct sigaction g_hangup_before {};
bool g_hangup_was_blocked = false;
bool g_hangup_holding = false;

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const bool known = signal > 0 && signal < NSIG;
  const int fd = known ? g_write_end[signal] - 1 : -1;
  const char byte = 1;
  // A full pipe already makes the read end readable: a lost byte loses nothing.
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  } else if (known) {
    g_held[signal] = 1;
  }
  errno = saved;
}

void Wake(int fd) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
}

}  // namespace

void HoldHangupSignal() {
  if (g_hangup_holding) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGHUP, &action, &g_hangup_before) != 0) return;
  g_hangup_holding = true;
  sigset_t hangup, old;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  ::sigprocmask(SIG_UNBLOCK, &hangup, &old);
  g_hangup_was_blocked = sigismember(&old, SIGHUP) == 1;
}

void ReleaseHeldHangup() {
  if (!g_hangup_holding) return;
  g_hangup_holding = false;
  ::sigaction(SIGHUP, &g_hangup_before, nullptr);
  if (g_hangup_was_blocked) {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &hangup, nullptr);
  }
  if (g_held[SIGHUP] != 0) {
    g_held[SIGHUP] = 0;
    ::raise(SIGHUP);
  }
}

TSignalPipe::TSignalPipe(std::initializer_list<int> signalNumbers) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipe_[0] = pipe_[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // other system calls of the program go on; poll() still returns
  for (int signal : signalNumbers) {
    g_write_end[signal] = pipe_[1] + 1;
    struct sigaction old {};
    ::sigaction(signal, &action, &old);
    old_.emplace_back(signal, old);
    // One that came before, while the handler only held it.
    if (g_held[signal] != 0) {
      g_held[signal] = 0;
      Wake(pipe_[1]);
    }
  }
}

TSignalPipe::~TSignalPipe() {
  if (!Installed()) return;
  for (const auto& [signal, old] : old_) {
    if (!keep_) ::sigaction(signal, &old, nullptr);
    g_write_end[signal] = 0;
  }
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void TSignalPipe::Drain() {
  if (!Installed()) return;
  char buffer[16];
  while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
  }
}

}  // namespace sorvik
