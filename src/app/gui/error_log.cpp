#include "app/gui/error_log.h"

#include <QLocale>

#include <cstdio>

#include "net/exceptions.h"

namespace sorvik {

std::string FormatErrorLogLine(const QDateTime& when, const std::string& className,
                               const std::string& message) {
  const QLocale locale = QLocale::system();
  const QString stamp = locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                        locale.toString(when.time(), QLocale::LongFormat);
  return stamp.toLocal8Bit().toStdString() + " : " + className + " - " + message + "\r\n";
}

bool AppendErrorLogLine(const std::string& dataDir, const std::string& line) {
  const std::string path = dataDir + kErrorLogFileName;
  // "ab": created when missing, every write lands at the end of the file.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return false;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written;
}

void LogUnexpectedError(const std::string& dataDir, const std::exception& error) noexcept {
  try {
    AppendErrorLogLine(dataDir, FormatErrorLogLine(QDateTime::currentDateTime(), ErrorClassName(error),
                                                   error.what()));
  } catch (...) {
    // The line is lost; the question is asked anyway.
  }
}

}  // namespace sorvik
