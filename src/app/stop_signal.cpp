#include "app/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sorvik {

namespace {

// The write end of the pipe each signal's handler writes to, by signal
// number, plus one (0: none). Set before the handler is installed and reset
// after it is taken away again.
volatile sig_atomic_t g_write_end[NSIG];

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const int fd = signal > 0 && signal < NSIG ? g_write_end[signal] - 1 : -1;
  const char byte = 1;
  // A full pipe already makes the read end readable: a lost byte loses nothing.
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

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
  }
}

TSignalPipe::~TSignalPipe() {
  if (!Installed()) return;
  for (const auto& [signal, old] : old_) {
    ::sigaction(signal, &old, nullptr);
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
