#include "app/gui/gui_main.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "app/control/control_answer.h"
#include "app/control/control_channel.h"
#include "app/core/stop_signal.h"
#include "app/gui/qt_bridge.h"
#include "app/gui/single_instance.h"
#include "app/gui/tf_main.h"

namespace sorvik {
namespace {

// Connects to the X server's local socket ":N" (abstract name first, then the
// file); a remote display ("host:N") is assumed to be reachable.
bool XDisplayReachable(const std::string& display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  if (colon != 0 && display.compare(0, colon, "unix") != 0) return true;
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty()) return false;
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (bool abstract : {true, false}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    std::memcpy(addr.sun_path + offset, path.data(), std::min(path.size(), sizeof(addr.sun_path) - 1 - offset));
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    if (ok) return true;
  }
  return false;
}

extern "C" void IgnoreHangup(int) {}

}  // namespace

bool DisplayAvailable(std::string& why) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') return true;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && *wayland != '\0') return true;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    why = "no display found (DISPLAY and WAYLAND_DISPLAY are unset)";
    return false;
  }
  if (!XDisplayReachable(display)) {
    why = std::string("cannot open display ") + display;
    return false;
  }
  return true;
}

int RunGui(int argc, char** argv, const std::string& dataDir, bool atLogin) {
  // The window keeps its settings until it exits: a hang-up (a closed
  // terminal, a reload meant for the window-less mode) changes nothing. A
  // handler that does nothing rather than SIG_IGN, so that the programs the
  // window starts (a browser) get the default again.
  struct sigaction hangup {};
  hangup.sa_handler = IgnoreHangup;
  sigemptyset(&hangup.sa_mask);
  hangup.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &hangup, nullptr);
  TApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);  // the window hides to the tray; closing it runs the exit sequence

  // One instance per data directory: a later start shows the running one's
  // window. The running one may still be starting (lock taken, not listening
  // yet) or just ending (lock about to go): both are waited for a while.
  TInstanceLock lock(dataDir, true);
  TInstanceLock::TResult locked = lock.TryLock();
  QElapsedTimer waited;
  waited.start();
  while (locked == TInstanceLock::TResult::HeldByOther) {
    if (RequestShow(dataDir, 2000)) {
      std::fprintf(stderr, "sorvik: Sorvik is already running with the data directory %s: its window was shown.\n",
                   dataDir.c_str());
      return 0;
    }
    if (waited.elapsed() > 10000) {
      std::fprintf(stderr,
                   "sorvik: Sorvik is already running with the data directory %s (process %lld) and did not "
                   "show its window (a window-less one cannot). Use that one, end it first, or start with "
                   "another --data-dir.\n",
                   dataDir.c_str(), lock.OwnerPid());
      return kExitAlreadyRunning;
    }
    QThread::msleep(100);
    locked = lock.TryLock();
  }
  if (locked == TInstanceLock::TResult::Unavailable) {
    std::fprintf(stderr, "sorvik: cannot make the lock file %s (%s); a second start with this data directory "
                 "will not be noticed.\n", lock.Path().c_str(), lock.Problem().c_str());
  }

  // SIGTERM / SIGINT: the exit sequence on the UI thread. Caught from before
  // the window is built, so that a signal while it starts (a session that
  // ends at once, a service manager's stop) ends it as one a moment later
  // does, and so that whatever the window shows from then on tells that the
  // signal is caught: the handler's byte waits in the pipe until the event
  // loop reads it.
  TStopSignalPipe stopSignal;

  int status = 0;
  {
    TfMain window(dataDir);
    TShowRequestServer showRequests([&window] { window.Guard([&window] { window.ShowWindowOp(); }); });
    if (locked == TInstanceLock::TResult::Acquired && !showRequests.Listen(dataDir)) {
      std::fprintf(stderr, "sorvik: cannot listen for show requests on %s; a second start will not show this "
                   "window.\n", ShowRequestSocketName(dataDir).c_str());
    }

    // `sorvik status|start|stop`: answered from the event loop, never
    // waiting for a client (see control_channel.h).
    TControlServer control([&window](const TControlRequest& request) {
      std::string reply = "error the window could not answer\n";
      window.Guard([&] { reply = AnswerControlRequest(window.Core(), request); });
      return reply;
    });
    QSocketNotifier* controlNotifier = nullptr;
    QTimer controlTimer;
    controlTimer.setSingleShot(true);
    std::string controlProblem;
    if (locked == TInstanceLock::TResult::Acquired) {
      if (control.Listen(dataDir, controlProblem)) {
        const auto process = [&control, &controlTimer] {
          control.Process();
          const int ms = control.TimeoutMs();
          if (ms >= 0) controlTimer.start(ms);
        };
        controlNotifier = new QSocketNotifier(control.Fd(), QSocketNotifier::Read, &app);
        QObject::connect(controlNotifier, &QSocketNotifier::activated, &window, process);
        QObject::connect(&controlTimer, &QTimer::timeout, &window, process);
      } else {
        std::fprintf(stderr, "sorvik: %s; 'sorvik status', 'start' and 'stop' will not reach this window.\n",
                     controlProblem.c_str());
      }
    }

    QSocketNotifier* notifier = nullptr;
    if (stopSignal.Installed()) {
      notifier = new QSocketNotifier(stopSignal.ReadFd(), QSocketNotifier::Read, &app);
      QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, &stopSignal] {
        stopSignal.Drain();
        window.Guard([&window] { window.RunExitSequence(TfMain::TExitCause::Unattended); });
      });
    }
    // The desktop session ends: save as "Exit" does.
    const auto unattendedExit = [&window] {
      window.Guard([&window] { window.RunExitSequence(TfMain::TExitCause::Unattended); });
    };
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [unattendedExit](QSessionManager&) { unattendedExit(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, unattendedExit);

    window.ShowAtStart(atLogin);
    status = app.exec();
    // The window is ending: a second SIGTERM (or SIGINT) changes neither
    // the exit sequence nor the status.
    stopSignal.KeepHandlersAtEnd();
    window.RunExitSequence(TfMain::TExitCause::Unattended);
    delete notifier;  // before the pipe it watches closes
    delete controlNotifier;
  }
  return status;
}

}  // namespace sorvik
