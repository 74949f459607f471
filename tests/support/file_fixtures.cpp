#include "support/file_fixtures.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

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
  // The program: the first argument that names an executable file by its
  // path (argv[0], or the one that `env VAR=value ...` runs).
  for (std::string& arg : argv) {
    struct stat st {};
    if (arg.find('/') == std::string::npos || ::stat(arg.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & S_IXUSR) == 0) {
      continue;
    }
    std::string why;
    const std::string reachable = ReachableBy(TRunner::kAnotherUser, arg, why);
    if (!reachable.empty()) arg = reachable;  // else it fails, saying so, as before
    break;
  }
  const Unprivileged u = UnprivilegedUser();
  std::vector<std::string> out = {"setpriv", "--reuid=" + std::to_string(u.Uid), "--regid=" + std::to_string(u.Gid),
                                  "--clear-groups", "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

bool UnderTmp(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) p = path;
  for (const char* tmp : {"/tmp", "/var/tmp"}) {
    const fs::path base = fs::weakly_canonical(tmp, ec);
    auto mismatch = std::mismatch(base.begin(), base.end(), p.begin(), p.end());
    if (mismatch.first == base.end()) return true;
  }
  return false;
}

std::string OutsideTmpBase() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string here = fs::current_path(ec).string();
  if (!ec && !UnderTmp(here)) return here;
  std::string cache;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    cache = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    cache = std::string(home) + "/.cache";
  }
  if (cache.empty() || UnderTmp(cache)) return {};
  fs::create_directories(cache, ec);
  return fs::is_directory(cache, ec) ? cache : std::string();
}

namespace {

// Every directory above `path` lets others through, and the file lets them
// run it.
bool OpenToOthers(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p = fs::canonical(path, ec);
  if (ec) return false;
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
  for (fs::path dir = p.parent_path();; dir = dir.parent_path()) {
    if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    if (dir == dir.root_path()) return true;
  }
}

// The copies made so far, removed with their directories when the test
// program ends.
struct Copies {
  std::mutex mutex;
  std::map<std::pair<int, std::string>, std::string> made;  // guarded by mutex
  std::vector<std::string> dirs;                             // guarded by mutex
  ~Copies() {
    std::error_code ignored;
    for (const auto& d : dirs) std::filesystem::remove_all(d, ignored);
  }
};

Copies& TheCopies() {
  static Copies copies;
  return copies;
}

}  // namespace

std::string ReachableBy(TRunner runner, const std::string& path, std::string& why) {
  namespace fs = std::filesystem;
  const bool reachable = runner == TRunner::kAnotherUser ? OpenToOthers(path) : !UnderTmp(path);
  if (reachable) return path;
  Copies& copies = TheCopies();
  std::lock_guard<std::mutex> lock(copies.mutex);
  const auto key = std::make_pair(static_cast<int>(runner), path);
  if (auto it = copies.made.find(key); it != copies.made.end()) return it->second;
  // Another user: a directory of its own under /tmp (open to everybody);
  // a service with a private /tmp: one outside it.
  const std::string base = runner == TRunner::kAnotherUser ? std::string("/tmp") : OutsideTmpBase();
  if (base.empty()) {
    why = "no directory outside /tmp and /var/tmp to copy " + path + " to (HOME is not set)";
    return {};
  }
  std::string dir = base + "/sorvik-test-program-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    why = "cannot make a directory in " + base + " for a copy of " + path + ": " + std::strerror(errno);
    return {};
  }
  copies.dirs.push_back(dir);
  ::chmod(dir.c_str(), 0755);
  const std::string copy = dir + "/" + fs::path(path).filename().string();
  std::error_code ec;
  fs::copy_file(path, copy, ec);
  if (ec) {
    why = "cannot copy " + path + " to " + dir + ": " + ec.message();
    return {};
  }
  ::chmod(copy.c_str(), 0755);
  if (runner == TRunner::kAnotherUser && !OpenToOthers(copy)) {
    why = "no directory open to other users for a copy of " + path;
    return {};
  }
  copies.made[key] = copy;
  return copy;
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
