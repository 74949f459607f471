#include "app/cli.h"

#include <string_view>

namespace sorvik {

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine cl;
  auto error = [&cl](std::string message) {
    cl.Action = TCommandLine::TAction::Error;
    cl.Error = std::move(message);
    return cl;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--help" || arg == "-h") {
      cl.Action = TCommandLine::TAction::Help;
      return cl;
    }
    if (arg == "--version") {
      cl.Action = TCommandLine::TAction::Version;
      return cl;
    }
    if (arg == "--headless") {
      cl.Headless = true;
    } else if (arg == "--test") {
      if (i + 1 >= argc || argv[i + 1] == nullptr) return error("option '--test' needs a tunnel caption");
      cl.Action = TCommandLine::TAction::Test;
      cl.TestCaption = argv[++i];
      if (cl.TestCaption.empty()) return error("option '--test' needs a tunnel caption");
    } else if (arg.substr(0, 7) == "--test=") {
      cl.Action = TCommandLine::TAction::Test;
      cl.TestCaption = std::string(arg.substr(7));
      if (cl.TestCaption.empty()) return error("option '--test' needs a tunnel caption");
    } else if (arg == "--login") {
      cl.AtLogin = true;
    } else if (arg == "--data-dir") {
      if (i + 1 >= argc || argv[i + 1] == nullptr) return error("option '--data-dir' needs a directory");
      cl.DataDir = argv[++i];
      if (cl.DataDir->empty()) return error("option '--data-dir' needs a directory");
    } else if (arg.substr(0, 11) == "--data-dir=") {
      cl.DataDir = std::string(arg.substr(11));
      if (cl.DataDir->empty()) return error("option '--data-dir' needs a directory");
    } else if (arg == "--show-cert" || arg.substr(0, 12) == "--show-cert=") {
      if (arg == "--show-cert") {
        if (i + 1 >= argc || argv[i + 1] == nullptr) return error("option '--show-cert' needs a tunnel caption");
        cl.ShowCertCaption = argv[++i];
      } else {
        cl.ShowCertCaption = std::string(arg.substr(12));
      }
      if (cl.ShowCertCaption.empty()) return error("option '--show-cert' needs a tunnel caption");
      cl.Action = TCommandLine::TAction::ShowCert;
    } else if (arg == "--json") {
      cl.Json = true;
    } else if (cl.Action == TCommandLine::TAction::Run && (arg == "status" || arg == "start" || arg == "stop")) {
      // A command for the instance that runs on the data directory.
      if (arg == "status") {
        cl.Action = TCommandLine::TAction::Status;
      } else {
        cl.Action = arg == "start" ? TCommandLine::TAction::Start : TCommandLine::TAction::Stop;
        if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
          return error("'" + std::string(arg) + "' needs a tunnel caption");
        }
        cl.ControlCaption = argv[++i];
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return error("unknown option '" + std::string(arg) + "'");
    } else {
      return error("unexpected argument '" + std::string(arg) + "'");
    }
  }
  const bool command = cl.Action == TCommandLine::TAction::Status || cl.Action == TCommandLine::TAction::Start ||
                       cl.Action == TCommandLine::TAction::Stop;
  if (cl.Json && cl.Action != TCommandLine::TAction::Status) return error("option '--json' goes with 'status' only");
  if (command && (cl.Headless || cl.AtLogin)) return error("'status', 'start' and 'stop' take only --data-dir");
  return cl;
}

std::string VersionText() { return std::string(kProductName) + " " + kProductVersion; }

std::string UsageText() {
  return "Usage: sorvik [--data-dir DIR] [--headless] [--login]\n"
         "       sorvik --show-cert CAPTION [--data-dir DIR]\n"
         "       sorvik --test CAPTION [--data-dir DIR]\n"
         "       sorvik status [--json] [--data-dir DIR]\n"
         "       sorvik start|stop CAPTION [--data-dir DIR]\n"
         "       sorvik --help | --version\n"
         "\n"
         "Sorvik relays connections accepted on local TCP ports to remote hosts,\n"
         "optionally through SOCKS or HTTP proxies and over TLS.\n"
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
         "                  Start and Stop commands do (exit status 3: none runs)\n"
         "  --help          show this help and exit\n"
         "  --version       print the version (" + VersionText() + ") and exit\n";
}

}  // namespace sorvik
