// Starting the desktop window from main().
//
// Thread contract: the calling (main) thread becomes the UI thread.
#pragma once

#include <string>

namespace sorvik {

// Whether a window can be shown: a platform was chosen (QT_QPA_PLATFORM), or
// a Wayland display is named, or the X display named by DISPLAY accepts a
// connection. When false, `why` says what is missing.
bool DisplayAvailable(std::string& why);

// Creates the application and the main window with the settings of `dataDir`
// (ending with "/"), runs the event loop and the exit sequence. When another
// process runs with the same data directory, asks it to show its window and
// returns 0 instead (kExitAlreadyRunning when it does not answer). SIGTERM, SIGINT
// and the end of the desktop session run the exit sequence as the tray's
// "Exit" does, without asking anything (a failed save is logged, not asked
// about). `atLogin`: started by the login entry (see TfMain::ShowAtStart).
// Returns the process exit status.
int RunGui(int argc, char** argv, const std::string& dataDir, bool atLogin = false);

}  // namespace sorvik
