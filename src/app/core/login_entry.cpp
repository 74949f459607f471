#include "app/core/login_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "app/settings/settings.h"

namespace sorvik {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
  throw std::runtime_error(what + " \"" + path + "\": " + std::strerror(err));
}

// A string value of a desktop entry: a backslash is written as "\\".
std::string EscapeString(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

std::string LoginEntryPath(const std::optional<std::string>& xdgConfigHome, const std::string& home) {
  std::string base;
  if (xdgConfigHome && !xdgConfigHome->empty() && xdgConfigHome->front() == '/') {
    base = *xdgConfigHome;
  } else {
    base = home;
    if (base.empty() || base.back() != '/') base += '/';
    base += ".config";
  }
  if (base.back() != '/') base += '/';
  return base + "autostart/" + kLoginEntryName;
}

std::string LoginEntryPath() {
  std::optional<std::string> xdg;
  if (const char* v = std::getenv("XDG_CONFIG_HOME")) xdg = v;
  return LoginEntryPath(xdg, HomeDirectory());
}

std::string DesktopExecArgument(const std::string& argument) {
  if (HasControlCharacter(argument)) {
    throw std::invalid_argument("a control character cannot be part of a command line: \"" + argument + "\"");
  }
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string arg;
  for (char c : argument) {
    if (c == '%') arg += '%';  // field codes begin with "%"
    arg += c;
  }
  if (!arg.empty() && arg.find_first_of(kReserved) == std::string::npos) return EscapeString(arg);
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return EscapeString(quoted);
}

std::string LoginEntryText(const std::string& executable, const std::optional<std::string>& dataDir) {
  std::string exec = DesktopExecArgument(executable) + " " + kLoginOption;
  if (dataDir) exec += " --data-dir " + DesktopExecArgument(*dataDir);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Sorvik\n"
         "Comment=Start Sorvik's tunnels when you log in\n"
         "Exec=" + exec + "\n"
         // Skipped by the session once the program is gone.
         "TryExec=" + EscapeString(executable) + "\n"
         "Icon=sorvik\n"
         "Terminal=false\n"
         "Categories=Network;\n"
         "StartupWMClass=Sorvik\n";
}

bool LoginEntryPresent(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void WriteLoginEntry(const std::string& path, const std::string& executable,
                     const std::optional<std::string>& dataDir) {
  std::string text;
  try {
    text = LoginEntryText(executable, dataDir);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(std::string("cannot write the login entry: ") + e.what());
  }
  const std::filesystem::path file(path);
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) Fail("cannot create the folder", file.parent_path().string(), ec.value());

  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) Fail("cannot write", path, errno);
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    Fail("cannot write", path, err);
  };
  if (::fchmod(fd, 0644) != 0) fail(errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    Fail("cannot write", path, err);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    Fail("cannot write", path, err);
  }
}

void RemoveLoginEntry(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail("cannot remove", path, errno);
}

}  // namespace sorvik
