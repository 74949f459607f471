// One tunnel's section "Tunnel:%d" of the settings file, read and written from
// the key table (tunnel_section.cpp): one row per key, in file order.
//
// Thread contract: UI thread (start-up and exit), like the file itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "tunnel/tunnel_settings.h"

namespace sorvik {

class TIniFile;

// The kinds of a key: which member it fills and its default when missing.
struct TStringKey {
  std::string TunnelSettings::*Member;
  const char* Missing;
};
struct TIntegerKey {
  int32_t TunnelSettings::*Member;
  int32_t Missing;
};
struct TBoolKey {
  bool TunnelSettings::*Member;
  bool Missing;
};
// A proxy type, stored as its number: the low 8 bits of the integer read are
// kept, so "other" numbers (8 to 255) are written back as they were read.
struct TProxyTypeKey {
  TProxyType TunnelSettings::*Member;
  TProxyType Missing;
};

enum class TKeyWrite {
  Always,         // the original keys: every section holds them, empty strings included
  UnlessMissing,  // newer keys: written only when the value differs from Missing
};

struct TTunnelKey {
  const char* Name;
  std::variant<TStringKey, TIntegerKey, TBoolKey, TProxyTypeKey> Field;
  TKeyWrite Write;
};

// The rows, in the order the keys are read and written.
std::span<const TTunnelKey> TunnelKeys();

// Fills `out` from section N; a missing or unreadable key gives the row's Missing.
void ReadTunnelSection(const TIniFile& file, int n, TunnelSettings& out);
// Writes section N from `in`, key by key in table order.
void WriteTunnelSection(TIniFile& file, int n, const TunnelSettings& in);

}  // namespace sorvik
