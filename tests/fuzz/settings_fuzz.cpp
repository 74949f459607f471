// LIBS: sorvik_app_core
// The settings file reader on arbitrary bytes: no crash, no hang, no unbounded
// memory, and the file written from what was read reads back to the same
// settings (written again, byte for byte the same file).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/settings/ini_file.h"
#include "app/settings/settings.h"

namespace {

std::string WrittenFrom(std::string_view bytes) {
  sorvik::TIniFile file;
  file.LoadFromBytes(bytes);
  sorvik::TSettings settings;
  sorvik::ReadSettings(file, settings);
  sorvik::TIniFile out;
  sorvik::WriteSettings(out, settings);
  return out.ToBytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string once = WrittenFrom(bytes);
  if (WrittenFrom(once) != once) std::abort();
  return 0;
}
