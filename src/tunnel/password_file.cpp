#include "tunnel/password_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tunnel/kestrune_item.h"

namespace sorvik {

namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw EPasswordFileError("Password file \"" + path + "\" refused: " + why);
}

}  // namespace

std::string ReadPasswordFile(const std::string& path) {
  // O_NOFOLLOW is not used: a link to a private file is fine; what counts is
  // the file itself, checked on the open descriptor (no race with a swap).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Refuse(path, std::string("cannot open it: ") + std::strerror(errno) + ".");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) Refuse(path, std::string("cannot read its details: ") + std::strerror(errno) + ".");
  if (!S_ISREG(st.st_mode)) Refuse(path, "it is not a regular file.");
  if (st.st_uid != ::geteuid()) Refuse(path, "it belongs to another user.");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Refuse(path, std::string("group or others may access it (mode ") + mode +
                     "); make it readable by you only: chmod 600 \"" + path + "\".");
  }
  if (st.st_size > static_cast<off_t>(kMaxPasswordFileSize)) Refuse(path, "it is larger than 4096 bytes.");
  std::string content;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Refuse(path, std::string("cannot read it: ") + std::strerror(errno) + ".");
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
    if (content.size() > kMaxPasswordFileSize) Refuse(path, "it is larger than 4096 bytes.");
  }
  const size_t end = content.find_first_of("\r\n");
  if (end != std::string::npos) content.resize(end);
  return content;
}

void TKestruneItem::LoadPasswordFiles() {
  std::string file1, file2;
  {
    std::lock_guard<std::mutex> lock(FieldsLock);
    file1 = Settings.ProxyPasswordFile;
    file2 = Settings.ProxyPasswordFile2;
  }
  // Read outside the lock; both or neither take effect.
  const std::string p1 = file1.empty() ? std::string() : ReadPasswordFile(file1);
  const std::string p2 = file2.empty() ? std::string() : ReadPasswordFile(file2);
  std::lock_guard<std::mutex> lock(FieldsLock);
  if (!file1.empty()) Settings.ProxyPassword = p1;
  if (!file2.empty()) Settings.ProxyPassword2 = p2;
}

}  // namespace sorvik
