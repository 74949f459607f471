// Where a user finds Sorvik's documentation and where to report a problem:
// the texts of the window's Program -> Homepage and Program -> Support. The
// documentation is the one installed beside the program (a package user has
// no source tree).
//
// Thread contract: plain functions of their arguments and the file system;
// any thread.
#pragma once

#include <string>

namespace sorvik {

// The installed documentation directory of the program at `executablePath`:
// <prefix>/share/doc/sorvik for <prefix>/bin/sorvik, when it holds the README.
// Empty when the program does not run from an installed tree (a build tree).
std::string InstalledDocDir(const std::string& executablePath);

// Program -> Homepage: where the README and the manual pages are, and the
// homepage when the build was given one (`homepageUrl` empty: none).
std::string HomepageText(const std::string& docDir, const std::string& homepageUrl);

// Program -> Support: where to report a problem (the homepage, else the
// package's maintainer), what to send along, and the data directory that
// holds "error.log".
std::string SupportText(const std::string& docDir, const std::string& homepageUrl, const std::string& dataDir);

}  // namespace sorvik
