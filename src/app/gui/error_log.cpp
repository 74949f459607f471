#include "app/gui/error_log.h"

#include <QLocale>

#include <sys/stat.h>
#include <unistd.h>

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
  struct stat st{};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  // "ab": created when missing, every write lands at the end of the file.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return false;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const bool ok = std::fclose(file) == 0 && written;
  // A full disk: an empty log made here would only suggest there is nothing to read.
  if (!ok && !existed) ::unlink(path.c_str());
  return ok;
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
