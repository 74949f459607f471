// The XDG autostart entry that starts Sorvik when the user logs in:
// "$XDG_CONFIG_HOME/autostart/sorvik.desktop" (~/.config/autostart/ when that
// variable is unset or not absolute). Whether Sorvik starts at login is the
// presence of this file and nothing else; the entry runs the program with
// --login, so that the window can open in the tray.
//
// Thread contract: UI thread (start-up and the options dialog); no shared state.
#pragma once

#include <optional>
#include <string>

namespace sorvik {

inline constexpr const char* kLoginEntryName = "sorvik.desktop";
inline constexpr const char* kLoginOption = "--login";

// "<xdgConfigHome>/autostart/sorvik.desktop" when xdgConfigHome is set and
// absolute, else "<home>/.config/autostart/sorvik.desktop".
std::string LoginEntryPath(const std::optional<std::string>& xdgConfigHome, const std::string& home);
// The same with this process's environment.
std::string LoginEntryPath();

// One argument of a desktop entry's Exec key, quoted by the Desktop Entry
// Specification and escaped as a string value ("%" doubled). Raises
// std::invalid_argument for a text with a control character, which no Exec
// line can carry.
std::string DesktopExecArgument(const std::string& argument);

// The entry's text: runs `executable` with --login, and with --data-dir
// `dataDir` when one is given.
std::string LoginEntryText(const std::string& executable, const std::optional<std::string>& dataDir);

bool LoginEntryPresent(const std::string& path);
// Writes the entry (directory created when missing; the file replaced in one
// step). Raises std::runtime_error with a one-line message on failure.
void WriteLoginEntry(const std::string& path, const std::string& executable,
                     const std::optional<std::string>& dataDir);
// Removes the entry; an absent entry is no error. Raises std::runtime_error
// with a one-line message on failure.
void RemoveLoginEntry(const std::string& path);

}  // namespace sorvik
