// Settings file timings: builds 10,000 tunnels, saves them, loads the file and
// saves it again; then parses files of 1x, 2x and 4x as many sections to show
// that reading grows linearly. Prints milliseconds and ratios.
//   bench_settings [tunnels] [directory]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/settings/ini_file.h"
#include "app/settings/settings.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

sorvik::TSettings MakeSettings(int tunnels) {
  sorvik::TSettings s;
  for (int i = 0; i < tunnels; ++i) {
    auto t = std::make_unique<sorvik::TKestruneItem>();
    t->Settings.Server = "news" + std::to_string(i) + ".example.org";
    t->Settings.Port = 563;
    t->Settings.Mapped = 10000 + i;
    t->Settings.ProxyType = sorvik::ProxyTypeOfNumber(i % 8);
    t->Settings.SSLHost = true;
    t->Settings.SSLFingerprint = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    t->Settings.TunnelCaption = "Tunnel number " + std::to_string(i);
    s.Tunnels.push_back(std::move(t));
  }
  for (int i = 0; i < 10; ++i) {
    auto c = std::make_unique<sorvik::TChainItem>();
    c->Host = "proxy" + std::to_string(i);
    c->Port = 1080;
    s.ChainProxies.push_back(std::move(c));
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int tunnels = argc > 1 ? std::atoi(argv[1]) : 10000;
  std::string dir = argc > 2 ? argv[2] : "";
  bool removeDir = false;
  if (dir.empty()) {
    char tmpl[] = "/tmp/sorvik-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return 1;
    dir = tmpl;
    removeDir = true;
  }
  const std::string data = dir + "/";

  const sorvik::TSettings settings = MakeSettings(tunnels);
  auto t0 = Clock::now();
  sorvik::SaveSettings(data, settings);
  const double firstSave = Ms(t0);
  const auto size = std::filesystem::file_size(data + sorvik::kSettingsFileName);

  t0 = Clock::now();
  const sorvik::TSettings loaded = sorvik::LoadSettings(data);
  const double load = Ms(t0);

  t0 = Clock::now();
  sorvik::SaveSettings(data, loaded);
  const double save = Ms(t0);

  std::printf("settings file: %d tunnel sections, %zu tunnels read back, %.1f MB\n", tunnels, loaded.Tunnels.size(),
              static_cast<double>(size) / 1e6);
  std::printf("  write (first save)   %8.1f ms\n", firstSave);
  std::printf("  load                 %8.1f ms\n", load);
  std::printf("  save                 %8.1f ms\n", save);
  std::printf("  load + save          %8.1f ms\n", load + save);

  // Linearity of the reader: files of 1x, 2x and 4x as many distinct tunnel sections.
  double base = 0;
  for (int k : {1, 2, 4}) {
    sorvik::TIniFile ini;
    if (k == 1) {
      sorvik::WriteSettings(ini, settings);
    } else {
      sorvik::WriteSettings(ini, MakeSettings(tunnels * k));
    }
    const std::string text = ini.ToBytes();
    t0 = Clock::now();
    sorvik::TIniFile parsed;
    parsed.LoadFromBytes(text);
    const double ms = Ms(t0);
    if (k == 1) base = ms;
    std::printf("  parse %dx (%6.1f MB)  %8.1f ms  ratio %.2f\n", k, static_cast<double>(text.size()) / 1e6, ms,
                base > 0 ? ms / base : 0.0);
  }

  if (removeDir) std::filesystem::remove_all(dir);
  return loaded.Tunnels.size() == static_cast<std::size_t>(tunnels) ? 0 : 1;
}
