#include "app/core/documentation.h"

#include <filesystem>
#include <system_error>

#include "app/version.h"

namespace sorvik {

namespace {

std::string Guide(const std::string& docDir) {
  if (docDir.empty()) {
    return "This Sorvik runs from its build tree: its guide is README.md in the source tree it was built from, "
           "and its manual pages are data/sorvik.1.in and data/sorvik.ini.5.in there.";
  }
  return "Sorvik's documentation is installed on this computer:\n" + docDir +
         "/README.md (the guide),\n"
         "\"man sorvik\" (the program) and \"man sorvik.ini\" (every key of the settings file).";
}

}  // namespace

std::string InstalledDocDir(const std::string& executablePath) {
  namespace fs = std::filesystem;
  if (executablePath.empty()) return {};
  const fs::path dir = (fs::path(executablePath).parent_path() / kDocDirFromBinDir).lexically_normal();
  std::error_code ec;
  if (!fs::is_regular_file(dir / "README.md", ec)) return {};
  std::string text = dir.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string HomepageText(const std::string& docDir, const std::string& homepageUrl) {
  std::string text = Guide(docDir);
  if (!homepageUrl.empty()) text += "\n\nSorvik's homepage: " + homepageUrl;
  return text;
}

std::string SupportText(const std::string& docDir, const std::string& homepageUrl, const std::string& dataDir) {
  std::string text = homepageUrl.empty()
                         ? "To report a problem, write to whoever you got Sorvik from: for a package, its "
                           "maintainer (\"apt show sorvik\" names them)."
                         : "To report a problem, go to " + homepageUrl + ".";
  text += " Say what you did and what you expected, and send the lines of the Log tab, what "
          "\"sorvik --test CAPTION\" prints for the tunnel, and, if there is one, the file \"error.log\" in "
          "the data directory:\n" +
          dataDir;
  text += docDir.empty() ? "\n\nMany questions are answered in README.md of the source tree."
                         : "\n\nMany questions are answered in " + docDir + "/README.md and \"man sorvik.ini\".";
  return text;
}

}  // namespace sorvik
