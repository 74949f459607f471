// Proxy passwords kept in a file (window-less use, where there may be no
// secret store): the file must belong to the user and be readable by nobody
// else, like ssh's private keys.
//
// Thread contract: any thread; no shared state.
#pragma once

#include <stdexcept>
#include <string>

namespace sorvik {

class EPasswordFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Longest password file accepted.
inline constexpr size_t kMaxPasswordFileSize = 4096;

// The password in `path`: the whole content up to the first line break (a
// trailing LF or CR LF is not part of it). Raises EPasswordFileError with one
// line that names the file when it cannot be opened, is not a regular file,
// belongs to another user, may be read or written by group or others, or is
// larger than kMaxPasswordFileSize.
std::string ReadPasswordFile(const std::string& path);

}  // namespace sorvik
