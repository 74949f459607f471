#include "app/settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tunnel/endpoint_check.h"

namespace sorvik {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view Trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// ASCII-only lower-casing: bytes above 0x7F (UTF-8) are left as they are.
std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::string SystemError(int err) { return std::strerror(err); }

[[noreturn]] void RaiseSaveError(const std::string& path, const std::string& what, int err) {
  throw ESettingsSaveError("Cannot save settings file \"" + path + "\": " + what + ": " + SystemError(err));
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p with mode 0700 for the directories it creates. Returns 0 or an errno.
int MakeDirectories(const std::string& dir) {
  for (std::size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    struct stat st{};
    if (::stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
      continue;
    }
    if (errno != ENOENT) return errno;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// Writes all of `data` to `fd`; returns 0 or an errno.
int WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

std::optional<int32_t> TIniFile::ParseInteger(std::string_view text) {
  // One rule for every number of the file, shared with the check of a stored
  // port text (a text it passes is the number read here).
  return StoredNumber(text);
}

TIniFile::TReadOutcome TIniFile::ReadFile(const std::string& path) {
  Clear();
  TReadOutcome outcome;
  auto unreadable = [&outcome](std::string reason) {
    outcome.Status = TReadOutcome::TStatus::Unreadable;
    outcome.Reason = std::move(reason);
    return outcome;
  };
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    // Nothing there (a dangling link included): the first start of a user.
    if (err == ENOENT || err == ENOTDIR) return outcome;
    return unreadable(SystemError(err));
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return unreadable(SystemError(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return unreadable(S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
  }
  const std::string tooBig = "it is larger than " + std::to_string(kMaxIniFileSize >> 20) + " MiB";
  if (static_cast<uint64_t>(st.st_size) > kMaxIniFileSize) {
    ::close(fd);
    return unreadable(tooBig);
  }
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return unreadable(SystemError(err));
    }
    if (n == 0) break;
    // The file may grow while it is read; the limit still holds.
    if (data.size() + static_cast<std::size_t>(n) > kMaxIniFileSize) {
      ::close(fd);
      return unreadable(tooBig);
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  LoadFromBytes(data);
  outcome.Status = TReadOutcome::TStatus::Read;
  return outcome;
}

void TIniFile::AddParsedEntry(TSection& s, std::string_view key, std::string_view value) {
  std::string lower = Lower(key);
  if (s.index.count(lower) != 0) return;
  s.index.emplace(std::move(lower), s.entries.size());
  s.entries.push_back(TEntry{std::string(key), std::string(value)});
}

void TIniFile::LoadFromBytes(std::string_view bytes) {
  Clear();
  // Some editors start a UTF-8 file with a byte-order mark; it is not text.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  TSection* current = nullptr;
  std::size_t pos = 0;
  std::size_t lineNumber = 0;
  while (pos < bytes.size()) {
    // A line ends at CR LF, LF or CR alone.
    std::size_t end = bytes.find_first_of("\r\n", pos);
    std::size_t next = end;
    if (end == std::string_view::npos) {
      end = next = bytes.size();
    } else {
      next = end + 1;
      if (bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n') ++next;
    }
    const std::string_view line = Trim(bytes.substr(pos, end - pos));
    pos = next;
    ++lineNumber;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      if (FindSection(name) != nullptr) {  // a repeated section: ignored whole
        ignored_.push_back(TIgnoredSection{std::string(name), lineNumber});
        current = nullptr;
      } else {
        current = &SectionForWrite(name);
        current->line = lineNumber;
      }
      continue;
    }
    const std::size_t eq = line.find('=');
    if (line.front() == '[' && eq == std::string_view::npos) {
      loose_.push_back(TLooseLine{TLooseLine::TKind::UnclosedHeader, lineNumber, std::string(line),
                                  current != nullptr ? current->name : std::string()});
    }
    if (current == nullptr) continue;  // before the first section, or in a repeated one
    if (eq == std::string_view::npos) {
      if (line.front() != '[') {
        loose_.push_back(TLooseLine{TLooseLine::TKind::NoEquals, lineNumber, std::string(line), current->name});
      }
      AddParsedEntry(*current, line, std::string_view());
    } else {
      AddParsedEntry(*current, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
  }
}

void TIniFile::Clear() {
  sections_.clear();
  index_.clear();
  ignored_.clear();
  loose_.clear();
}

std::vector<std::string> TIniFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const TSection& s : sections_) names.push_back(s.name);
  return names;
}

std::size_t TIniFile::SectionLine(std::string_view section) const {
  const TSection* s = FindSection(section);
  return s == nullptr ? 0 : s->line;
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view section) const {
  const auto it = index_.find(Lower(section));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

const TIniFile::TEntry* TIniFile::FindEntry(std::string_view section, std::string_view key) const {
  const TSection* s = FindSection(section);
  if (s == nullptr) return nullptr;
  const auto it = s->index.find(Lower(key));
  return it == s->index.end() ? nullptr : &s->entries[it->second];
}

TIniFile::TSection& TIniFile::SectionForWrite(std::string_view section) {
  std::string lower = Lower(section);
  const auto it = index_.find(lower);
  if (it != index_.end()) return sections_[it->second];
  index_.emplace(std::move(lower), sections_.size());
  sections_.push_back(TSection{std::string(section), 0, {}, {}});
  return sections_.back();
}

bool TIniFile::SectionExists(std::string_view section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindEntry(section, key) != nullptr;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, const std::string& def) const {
  const TEntry* e = FindEntry(section, key);
  return e == nullptr ? def : e->value;
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  const TEntry* e = FindEntry(section, key);
  if (e == nullptr) return def;
  return ParseInteger(e->value).value_or(def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  TSection& s = SectionForWrite(OneLine(section));
  const std::string k = OneLine(key);
  std::string lower = Lower(k);
  const auto it = s.index.find(lower);
  if (it != s.index.end()) {
    s.entries[it->second].value = OneLine(value);
    return;
  }
  s.index.emplace(std::move(lower), s.entries.size());
  s.entries.push_back(TEntry{k, OneLine(value)});
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::string TIniFile::ToBytes() const {
  std::size_t size = 0;
  for (const TSection& s : sections_) {
    size += s.name.size() + 6;
    for (const TEntry& e : s.entries) size += e.key.size() + e.value.size() + 3;
  }
  std::string out;
  out.reserve(size);
  for (const TSection& s : sections_) {
    out += '[';
    out += s.name;
    out += "]\r\n";
    for (const TEntry& e : s.entries) {
      out += e.key;
      out += '=';
      out += e.value;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

void TIniFile::SaveAtomically(const std::string& path) const {
  const std::string bytes = ToBytes();
  const std::string dir = DirectoryOf(path);
  if (const int err = MakeDirectories(dir); err != 0) RaiseSaveError(path, "cannot create directory \"" + dir + "\"", err);

  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // created with mode 0600
  if (fd < 0) RaiseSaveError(path, "cannot create temporary file", errno);
  auto fail = [&](const std::string& what, int err) {
    ::unlink(tmp.c_str());
    RaiseSaveError(path, what, err);
  };
  if (::fchmod(fd, 0600) != 0) {
    const int err = errno;
    ::close(fd);
    fail("cannot set file mode", err);
  }
  if (const int err = WriteAll(fd, bytes); err != 0) {
    ::close(fd);
    fail("write failed", err);
  }
  if (::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    fail("flush to disk failed", err);
  }
  if (::close(fd) != 0) fail("close failed", errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail("cannot replace the file", errno);
  // Make the rename itself durable; the new file is in place either way.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace sorvik
