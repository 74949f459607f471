#include "support/file_fixtures.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/net_fixtures.h"

namespace sorvik::test {

namespace {

bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool UnprivilegedAvailable(std::string& why) {
  if (!RunningAsRoot()) return true;
  if (!ProgramAvailable("setpriv")) {
    why = "running as root without setpriv to drop privileges";
    return false;
  }
  if (::getpwnam("nobody") == nullptr) {
    why = "running as root and there is no user \"nobody\"";
    return false;
  }
  return true;
}

Unprivileged UnprivilegedUser() {
  if (!RunningAsRoot()) return {::getuid(), ::getgid()};
  const struct passwd* pw = ::getpwnam("nobody");
  if (pw == nullptr) return {65534, 65534};
  return {pw->pw_uid, pw->pw_gid};
}

std::vector<std::string> AsUnprivileged(std::vector<std::string> argv) {
  if (!RunningAsRoot()) return argv;
  const Unprivileged u = UnprivilegedUser();
  std::vector<std::string> out = {"setpriv", "--reuid=" + std::to_string(u.Uid), "--regid=" + std::to_string(u.Gid),
                                  "--clear-groups", "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

bool GiveToUnprivileged(const std::string& path) {
  if (!RunningAsRoot()) return true;
  const Unprivileged u = UnprivilegedUser();
  namespace fs = std::filesystem;
  std::error_code ec;
  if (::lchown(path.c_str(), u.Uid, u.Gid) != 0) return false;
  if (fs::is_directory(path, ec)) {
    for (const auto& entry : fs::recursive_directory_iterator(path, ec)) {
      if (::lchown(entry.path().c_str(), u.Uid, u.Gid) != 0) return false;
    }
  }
  return !ec;
}

SmallTmpfs::SmallTmpfs(int kib) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "sorvik-tmpfs-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    why_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  path_ = tmpl;
  const std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
  if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  if (!path_.empty()) ::rmdir(path_.c_str());
}

bool SmallTmpfs::Fill(const std::string& name) const {
  const std::string file = path_ + "/" + name;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  char zeros[4096] = {};
  bool full = false;
  for (;;) {
    const ssize_t n = ::write(fd, zeros, sizeof zeros);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    full = n < 0 && errno == ENOSPC;
    break;
  }
  // Smaller writes fill what a whole block no longer fits in.
  while (full && ::write(fd, zeros, 1) == 1) {
  }
  ::close(fd);
  return full;
}

}  // namespace sorvik::test
