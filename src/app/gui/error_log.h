// The unexpected-error log "error.log" in the data directory: one line per
// error that escaped a command or a window event, appended, never truncated.
//
// Thread contract: UI thread (the error handler of the main window).
#pragma once

#include <QDateTime>

#include <exception>
#include <string>

namespace sorvik {

inline constexpr const char* kErrorLogFileName = "error.log";
inline constexpr const char* kUnexpectedErrorText =
    "Unexpected error. See \"error.log\" file for details.\r\nClose application?";

// "%s : %s - %s\r\n": local date (system short format) and time (system long
// format) joined by a space, the error's class name, its message.
std::string FormatErrorLogLine(const QDateTime& when, const std::string& className,
                               const std::string& message);

// Appends `line` to dataDir + "error.log", creating the file when missing.
// Returns false when it could not be written (the line is then lost).
bool AppendErrorLogLine(const std::string& dataDir, const std::string& line);

// Both steps for `error`, stamped with the current local time; never throws.
void LogUnexpectedError(const std::string& dataDir, const std::exception& error) noexcept;

}  // namespace sorvik
