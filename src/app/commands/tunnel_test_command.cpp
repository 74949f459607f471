#include "app/commands/tunnel_test_command.h"

#include "app/core/terminal_text.h"
#include "app/settings/settings.h"
#include "net/socket_util.h"
#include "tunnel/tunnel_test.h"

namespace sorvik {

int RunTunnelTestCommand(const std::optional<std::string>& dataDirOverride, const std::string& caption,
                         std::FILE* out, std::FILE* err) {
  const std::string dataDir = DataDirectory(dataDirOverride);
  TSettings settings = LoadSettings(dataDir);
  const int row = FindTunnelRow(settings.Tunnels, caption);
  if (row < 0) {
    std::fprintf(err, "sorvik: no tunnel \"%s\" in %s%s\n", TerminalText(caption).c_str(), dataDir.c_str(),
                 kSettingsFileName);
    return kExitNoSuchTunnel;
  }
  IgnoreSigpipe();  // a peer that has gone never kills the process
  TTunnelTest test(*settings.Tunnels[static_cast<size_t>(row)]);
  test.CheckLocalPort = true;
  const bool ok = test.Run([out](const std::string& raw) {
    const std::string line = TerminalText(raw);  // names from the file or a server
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
  });
  return ok ? 0 : 1;
}

}  // namespace sorvik
