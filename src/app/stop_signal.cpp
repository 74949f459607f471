#include "app/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sorvik {

namespace {

// Written by the handler, read by the main thread. Set before the handler is
// installed and reset after it is taken away again.
int g_stop_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already makes the read end readable: a lost byte loses nothing.
  [[maybe_unused]] const ssize_t n = ::write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

int g_hup_pipe[2] = {-1, -1};

extern "C" void OnHangupSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_hup_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

THangupSignalPipe::THangupSignalPipe() {
  if (::pipe2(g_hup_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_hup_pipe[0] = g_hup_pipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnHangupSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &action, &old_hup_);
  installed_ = true;
}

THangupSignalPipe::~THangupSignalPipe() {
  if (!installed_) return;
  ::sigaction(SIGHUP, &old_hup_, nullptr);
  ::close(g_hup_pipe[0]);
  ::close(g_hup_pipe[1]);
  g_hup_pipe[0] = g_hup_pipe[1] = -1;
}

int THangupSignalPipe::ReadFd() const { return installed_ ? g_hup_pipe[0] : -1; }

void THangupSignalPipe::Drain() {
  if (!installed_) return;
  char buffer[16];
  while (::read(g_hup_pipe[0], buffer, sizeof buffer) > 0) {
  }
}

TStopSignalPipe::TStopSignalPipe() {
  if (::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_stop_pipe[0] = g_stop_pipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // other system calls of the program go on; poll() still returns
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);
  installed_ = true;
}

TStopSignalPipe::~TStopSignalPipe() {
  if (!installed_) return;
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
  ::close(g_stop_pipe[0]);
  ::close(g_stop_pipe[1]);
  g_stop_pipe[0] = g_stop_pipe[1] = -1;
}

int TStopSignalPipe::ReadFd() const { return installed_ ? g_stop_pipe[0] : -1; }

void TStopSignalPipe::Drain() {
  if (!installed_) return;
  char buffer[16];
  while (::read(g_stop_pipe[0], buffer, sizeof buffer) > 0) {
  }
}

}  // namespace sorvik
