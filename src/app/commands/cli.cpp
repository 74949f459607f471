#include "app/commands/cli.h"

#include <string_view>

namespace sorvik {

// Options may come before or after a command and its caption; "--" ends
// them (what follows is a command or a caption even when it starts with "-").
// Right after `start` or `stop`, a word that is no option of this program is
// the caption even when it starts with "-".
TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine cl;
  auto error = [&cl](std::string message) {
    cl.Action = TCommandLine::TAction::Error;
    cl.Error = std::move(message);
    return cl;
  };
  using A = TCommandLine::TAction;
  const auto isCommand = [&cl] { return cl.Action == A::Status || cl.Action == A::Start || cl.Action == A::Stop; };
  const auto wantsCaption = [&cl] {
    return (cl.Action == A::Start || cl.Action == A::Stop) && cl.ControlCaption.empty();
  };
  const auto captionMissing = [&] {
    return error("'" + std::string(cl.Action == A::Start ? "start" : "stop") + "' needs a tunnel caption");
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    // A value that follows its option: `--name VALUE` or `--name=VALUE`.
    const auto value = [&](std::string_view name, std::string& out) {
      if (arg == name) {
        if (i + 1 >= argc || argv[i + 1] == nullptr) return false;
        out = argv[++i];
      } else {
        out = std::string(arg.substr(name.size() + 1));
      }
      return !out.empty();
    };
    const auto is = [&arg](std::string_view name) {
      return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=');
    };
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--help" || arg == "-h") {
        cl.Action = A::Help;
        return cl;
      }
      if (arg == "--version") {
        cl.Action = A::Version;
        return cl;
      }
      if (arg == "--headless") {
        cl.Headless = true;
      } else if (arg == "--login") {
        cl.AtLogin = true;
      } else if (arg == "--json") {
        cl.Json = true;
      } else if (is("--data-dir")) {
        std::string dir;
        if (!value("--data-dir", dir)) return error("option '--data-dir' needs a directory");
        cl.DataDir = dir;
      } else if (is("--test") || is("--show-cert")) {
        const bool test = is("--test");
        const std::string name = test ? "--test" : "--show-cert";
        if (isCommand()) return error("'status', 'start' and 'stop' take only --data-dir");
        std::string caption;
        if (!value(name, caption)) return error("option '" + name + "' needs a tunnel caption");
        cl.Action = test ? A::Test : A::ShowCert;
        (test ? cl.TestCaption : cl.ShowCertCaption) = caption;
      } else if (wantsCaption()) {
        cl.ControlCaption = std::string(arg);  // a caption that starts with "-"
      } else {
        return error("unknown option '" + std::string(arg) + "'");
      }
      continue;
    }
    if (cl.Action == A::Run && (arg == "status" || arg == "start" || arg == "stop")) {
      // A command for the instance that runs on the data directory.
      cl.Action = arg == "status" ? A::Status : arg == "start" ? A::Start : A::Stop;
    } else if (wantsCaption()) {
      if (arg.empty()) return captionMissing();
      cl.ControlCaption = std::string(arg);
    } else {
      return error("unexpected argument '" + std::string(arg) + "'");
    }
  }
  if (wantsCaption()) return captionMissing();
  if (cl.Json && cl.Action != A::Status) return error("option '--json' goes with 'status' only");
  if (isCommand() && (cl.Headless || cl.AtLogin)) return error("'status', 'start' and 'stop' take only --data-dir");
  return cl;
}

std::string VersionText() { return std::string(kProductName) + " " + kProductVersion; }

std::string UsageText() {
  return "Usage: sorvik [--data-dir DIR] [--headless] [--login]\n"
         "       sorvik --show-cert CAPTION [--data-dir DIR]\n"
         "       sorvik --test CAPTION [--data-dir DIR]\n"
         "       sorvik status [--json] [--data-dir DIR]\n"
         "       sorvik start|stop [--data-dir DIR] [--] CAPTION|#N\n"
         "       sorvik --help | --version\n"
         "\n"
         "Sorvik relays connections accepted on local TCP ports to remote hosts,\n"
         "optionally through SOCKS or HTTP proxies and over TLS. Options may come\n"
         "before or after a command, a value after '=' too (--data-dir=DIR).\n"
         "\n"
         "  --data-dir DIR  keep sorvik.ini and error.log in DIR instead of the\n"
         "                  default ($XDG_CONFIG_HOME/Sorvik/ or ~/.config/Sorvik/,\n"
         "                  or the program's own directory when sorvik.p lies beside it)\n"
         "  --headless      run the tunnels without a window\n"
         "  --login         started at login: with \"Minimize to tray when tunnel\n"
         "                  starts\" on, the window opens in the notification area\n"
         "  --show-cert CAPTION\n"
         "                  connect to the remote host of the tunnel CAPTION (through\n"
         "                  its proxies), print the server's certificate and the\n"
         "                  settings lines that pin it, and exit; the settings file\n"
         "                  is only read\n"
         "  --test CAPTION  test the tunnel shown as CAPTION once: look up, connect,\n"
         "                  pass its proxies and TLS, print a timed line per step;\n"
         "                  exit status 0 when it works, 1 when it fails or there\n"
         "                  is no such tunnel\n"
         "  status          ask the Sorvik that runs on the data directory (window or\n"
         "                  not) for its tunnels: state, addresses, open connections,\n"
         "                  bytes each way; --json for JSON\n"
         "  start CAPTION, stop CAPTION\n"
         "                  start or stop a tunnel of that running Sorvik, as its\n"
         "                  Start and Stop commands do (exit status 3: none runs);\n"
         "                  #N names the tunnel numbered N by 'status' (the second\n"
         "                  of two equal captions, say), '--' a caption that starts\n"
         "                  with '-'\n"
         "  --help          show this help and exit\n"
         "  --version       print the version (" + VersionText() + ") and exit\n";
}

}  // namespace sorvik
