// Window-less mode: `sorvik --headless [--data-dir DIR]`.
//
// Loads the settings, arms the autostart timer (the pass runs after the
// autostart delay), prints every log line to standard output as the log shows
// it (one per line, flushed after each batch of lines before the program waits
// again), reloads the settings file on SIGHUP (AppCore::Reload, one line on
// standard error for each), answers `sorvik status|start|stop` on its control
// socket (control_channel.h), and on SIGINT or SIGTERM stops every
// tunnel and returns 0. Never writes the settings file.
//
// Thread contract: RunHeadless runs on the main thread, which plays the UI
// thread; tunnel workers hand their events to it through a TQueueDispatcher
// (while it waits, a worker appends its line itself), and a TLineOutput
// thread writes the lines.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace sorvik {

// Returns the process exit status.
int RunHeadless(const std::optional<std::string>& dataDirOverride, std::FILE* out = stdout);

}  // namespace sorvik
