// Fixtures for settings files in trouble: a program run as an unprivileged
// user (so that file permissions hold even when the tests run as root), and a
// small tmpfs of its own (a full file system), and reading back what a
// program wrote.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sorvik::test {

// The whole content of the file at `path`, as bytes; empty when it cannot be
// read.
std::string ReadFile(const std::string& path);

// The user that AsUnprivileged runs programs as: "nobody" when the tests run
// as root, the current user otherwise.
struct Unprivileged {
  uid_t Uid;
  gid_t Gid;
};

// Whether programs can be run without root's power over files: true when the
// tests do not run as root, or when they do and setpriv and the user "nobody"
// exist. `why` says what is missing otherwise.
bool UnprivilegedAvailable(std::string& why);
Unprivileged UnprivilegedUser();
// `argv` prefixed so that it runs as UnprivilegedUser() (unchanged when the
// tests do not run as root). The program (the first argument that names an
// executable file by its path: argv[0], or what `env VAR=value ...` runs),
// when the unprivileged user cannot reach it (a build tree in a directory
// that only its owner may enter, as `mktemp -d` makes), is run from a copy
// that it can reach (ReachableBy(kAnotherUser)).
std::vector<std::string> AsUnprivileged(std::vector<std::string> argv);

// True when `path` lies under /tmp or /var/tmp, which a service with
// PrivateTmp= sees as empty directories of its own.
bool UnderTmp(const std::string& path);
// A directory outside /tmp and /var/tmp for the files that a service with
// PrivateTmp= must see: the current directory when it lies outside them,
// else the user's cache directory ($XDG_CACHE_HOME or ~/.cache, made if
// missing). Empty when there is none.
std::string OutsideTmpBase();

// Who must be able to run a program of the build.
enum class TRunner {
  kAnotherUser,  // the unprivileged user: every directory above it must be open to others
  kPrivateTmp,   // a service with PrivateTmp=: it must not lie under /tmp or /var/tmp
};
// The executable at `path` where `runner` can run it: the path itself when it
// already can, else a copy in a fresh directory (made once per path and
// runner, removed when the test program ends). Empty, with the reason in
// `why`, when no such copy can be made.
std::string ReachableBy(TRunner runner, const std::string& path, std::string& why);
// chown -R to UnprivilegedUser() (no-op when not root). Returns success.
bool GiveToUnprivileged(const std::string& path);

// A tmpfs of `kib` KiB mounted on a fresh directory, unmounted (lazily) and
// removed on destruction. Mounting needs root (or CAP_SYS_ADMIN); Mounted()
// is false and Why() says why when it could not be mounted.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(int kib);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  const std::string& Path() const { return path_; }
  // Writes zeros to Path()/name until the file system is full. Returns success.
  bool Fill(const std::string& name) const;

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace sorvik::test
