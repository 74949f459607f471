#include "app/settings/tunnel_section.h"

#include <type_traits>

#include "app/settings/ini_file.h"
#include "app/settings/settings.h"

namespace sorvik {

namespace {

using S = TunnelSettings;
constexpr TKeyWrite kAlways = TKeyWrite::Always;
constexpr TKeyWrite kUnlessMissing = TKeyWrite::UnlessMissing;

// The key table. To add a key: add the member to TunnelSettings, then one row
// AT THE END: {"KeyName", T<Kind>Key{&S::Member, default when missing},
// kUnlessMissing}. The default when missing must be the value that keeps a
// tunnel behaving as it did before the key existed; the key is then written only
// when the value differs from it, so a file without the key is written back
// byte-identical. Never reorder or remove rows: the order is the file's. Then
// give the key its entry at the end of the tunnel keys in the settings
// reference, data/sorvik.ini.5.in (documentation_test names a key without one).
const TTunnelKey kTunnelKeys[] = {
    {"Server", TStringKey{&S::Server, "127.0.0.1"}, kAlways},
    {"Port", TIntegerKey{&S::Port, 119}, kAlways},
    {"Mapped", TIntegerKey{&S::Mapped, 120}, kAlways},
    {"Autostart", TBoolKey{&S::Autostart, false}, kAlways},
    {"ProxyType", TProxyTypeKey{&S::ProxyType, TProxyType::None}, kAlways},
    {"LogServerErrors", TBoolKey{&S::LogServerErrors, false}, kAlways},
    {"LogToServer", TBoolKey{&S::LogToServer, false}, kAlways},
    {"LogFromServer", TBoolKey{&S::LogFromServer, false}, kAlways},
    {"SSLHost", TBoolKey{&S::SSLHost, false}, kAlways},
    {"IPv6Host", TBoolKey{&S::IPv6Host, false}, kAlways},
    {"LocalAccess", TBoolKey{&S::LocalAccess, true}, kAlways},
    {"SSLFingerprint", TStringKey{&S::SSLFingerprint, ""}, kAlways},
    {"SSLSubjectHash", TStringKey{&S::SSLSubjectHash, ""}, kAlways},
    {"SSLIssuerHash", TStringKey{&S::SSLIssuerHash, ""}, kAlways},
    {"SSLVerifycert", TBoolKey{&S::SSLVerifycert, false}, kAlways},
    {"SSLClientCertificatePath", TStringKey{&S::SSLClientCertificatePath, ""}, kAlways},
    {"SSLUseClientCertificate", TBoolKey{&S::SSLUseClientCertificate, false}, kAlways},
    {"ProxyHost", TStringKey{&S::ProxyHost, "127.0.0.1"}, kAlways},
    {"ProxyPort", TIntegerKey{&S::ProxyPort, 1080}, kAlways},
    {"ProxyHost2", TStringKey{&S::ProxyHost2, "127.0.0.1"}, kAlways},
    {"ProxyPort2", TIntegerKey{&S::ProxyPort2, 1080}, kAlways},
    {"TunnelCaption", TStringKey{&S::TunnelCaption, ""}, kAlways},
    // Keys added later: each missing key gives the value that keeps the tunnel
    // as it was before the key existed. New keys go below, with kUnlessMissing.
    {"LogSummary", TBoolKey{&S::LogSummary, false}, kUnlessMissing},
    {"ProxyUser", TStringKey{&S::ProxyUser, ""}, kUnlessMissing},
    {"ProxyUser2", TStringKey{&S::ProxyUser2, ""}, kUnlessMissing},
    {"ProxyPasswordFile", TStringKey{&S::ProxyPasswordFile, ""}, kUnlessMissing},
    {"ProxyPasswordFile2", TStringKey{&S::ProxyPasswordFile2, ""}, kUnlessMissing},
    {"SSLSNI", TBoolKey{&S::SSLSNI, false}, kUnlessMissing},
    {"SSLVerifyChain", TBoolKey{&S::SSLVerifyChain, false}, kUnlessMissing},
    {"SSLPinnedKeys", TStringKey{&S::SSLPinnedKeys, ""}, kUnlessMissing},
    {"SSLAllowLegacy", TBoolKey{&S::SSLAllowLegacy, false}, kUnlessMissing},
    {"AllowFrom", TStringKey{&S::AllowFrom, ""}, kUnlessMissing},
    {"MaxConnections", TIntegerKey{&S::MaxConnections, 0}, kUnlessMissing},
    {"MaxConnectionRate", TIntegerKey{&S::MaxConnectionRate, 0}, kUnlessMissing},
    {"MoreServers", TStringKey{&S::MoreServers, ""}, kUnlessMissing},
    {"Failover", TStringKey{&S::Failover, "priority"}, kUnlessMissing},
    {"ConnectTimeout", TIntegerKey{&S::ConnectTimeout, 0}, kUnlessMissing},
    {"KeepAlive", TStringKey{&S::KeepAlive, "0"}, kUnlessMissing},
    {"IdleTimeout", TIntegerKey{&S::IdleTimeout, 0}, kUnlessMissing},
};

void ReadKey(const TIniFile& file, const std::string& section, const TTunnelKey& key, TunnelSettings& out) {
  std::visit(
      [&](const auto& field) {
        using K = std::decay_t<decltype(field)>;
        if constexpr (std::is_same_v<K, TStringKey>) {
          out.*field.Member = file.ReadString(section, key.Name, field.Missing);
        } else if constexpr (std::is_same_v<K, TIntegerKey>) {
          out.*field.Member = file.ReadInteger(section, key.Name, field.Missing);
        } else if constexpr (std::is_same_v<K, TBoolKey>) {
          out.*field.Member = file.ReadBool(section, key.Name, field.Missing);
        } else {
          static_assert(std::is_same_v<K, TProxyTypeKey>);
          out.*field.Member =
              ProxyTypeOfNumber(file.ReadInteger(section, key.Name, ProxyTypeNumber(field.Missing)));
        }
      },
      key.Field);
}

// The number keys whose stored text, when it is not a number, is kept beside
// the value (TunnelSettings::NumberTexts).
constexpr const char* kCheckedNumberKeys[] = {"MaxConnections", "MaxConnectionRate", "ConnectTimeout",
                                              "IdleTimeout"};

void WriteKey(TIniFile& file, const std::string& section, const TTunnelKey& key, const TunnelSettings& in) {
  // A stored text that was no number goes back as it was.
  for (const auto& [name, text] : in.NumberTexts) {
    if (name == key.Name) {
      file.WriteString(section, key.Name, text);
      return;
    }
  }
  std::visit(
      [&](const auto& field) {
        using K = std::decay_t<decltype(field)>;
        const auto& value = in.*field.Member;
        if (key.Write == kUnlessMissing && value == field.Missing) return;
        if constexpr (std::is_same_v<K, TStringKey>) {
          file.WriteString(section, key.Name, value);
        } else if constexpr (std::is_same_v<K, TBoolKey>) {
          file.WriteBool(section, key.Name, value);
        } else if constexpr (std::is_same_v<K, TProxyTypeKey>) {
          file.WriteInteger(section, key.Name, ProxyTypeNumber(value));
        } else {
          file.WriteInteger(section, key.Name, value);
        }
      },
      key.Field);
}

}  // namespace

std::span<const TTunnelKey> TunnelKeys() { return kTunnelKeys; }

void ReadTunnelSection(const TIniFile& file, int n, TunnelSettings& out) {
  const std::string section = TunnelSectionName(n);
  for (const TTunnelKey& key : kTunnelKeys) ReadKey(file, section, key, out);
  // A port whose text is not a number was read as the key's default; the
  // text is kept beside it (run time only), so that a start refuses it by name.
  const auto unread = [&](const char* key) -> std::optional<std::string> {
    if (!file.ValueExists(section, key)) return std::nullopt;
    std::string text = file.ReadString(section, key, "");
    if (TIniFile::ParseInteger(text)) return std::nullopt;
    return text;
  };
  out.PortText = unread("Port");
  out.MappedText = unread("Mapped");
  out.NumberTexts.clear();
  for (const char* key : kCheckedNumberKeys) {
    if (auto text = unread(key)) out.NumberTexts.emplace_back(key, std::move(*text));
  }
}

void WriteTunnelSection(TIniFile& file, int n, const TunnelSettings& in) {
  const std::string section = TunnelSectionName(n);
  for (const TTunnelKey& key : kTunnelKeys) WriteKey(file, section, key, in);
}

}  // namespace sorvik
