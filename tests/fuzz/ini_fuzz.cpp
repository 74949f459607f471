// LIBS: sorvik_app_core
// The INI reader on arbitrary bytes: no crash, no hang, and what it read and
// wrote once reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/settings/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  sorvik::TIniFile ini;
  ini.LoadFromBytes(bytes);
  (void)ini.ReadInteger("Tunnel:0", "Port", 119);
  (void)ini.ReadBool("Options", "LimitLog", true);
  (void)ini.ReadString("Proxybase:0", "Host", "127.0.0.1");
  (void)sorvik::TIniFile::ParseInteger(bytes.substr(0, 64));

  const std::string once = ini.ToBytes();
  sorvik::TIniFile again;
  again.LoadFromBytes(once);
  if (again.ToBytes() != once) std::abort();

  // Writing through the API never lets a value add sections or keys.
  sorvik::TIniFile written;
  written.WriteString("S", "k", bytes);
  sorvik::TIniFile back;
  back.LoadFromBytes(written.ToBytes());
  if (!back.SectionExists("S") || back.ToBytes() != written.ToBytes()) {
    // The value may lose surrounding blanks on reading, nothing else.
    sorvik::TIniFile expect;
    expect.WriteString("S", "k", back.ReadString("S", "k", ""));
    if (back.ToBytes() != expect.ToBytes()) std::abort();
  }
  return 0;
}
