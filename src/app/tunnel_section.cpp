// Reading and writing one tunnel's section "Tunnel:%d" of the settings file.
#include <mutex>
#include <string>

#include "app/ini_file.h"
#include "app/settings.h"
#include "tunnel/kestrune_item.h"

namespace sorvik {

// UI thread. Fills the persisted fields from section N; the 22 keys are read in
// their file order, each with its default for a missing or unreadable value.
void TKestruneItem::ReadTunnelSection(TIniFile* file, int n) {
  if (file == nullptr) return;
  const std::string s = TunnelSectionName(n);
  std::lock_guard<std::mutex> lock(FieldsLock);
  Server = file->ReadString(s, "Server", "127.0.0.1");
  Port = file->ReadInteger(s, "Port", 119);
  Mapped = file->ReadInteger(s, "Mapped", 120);
  Autostart = file->ReadBool(s, "Autostart", false);
  ProxyType = static_cast<uint8_t>(file->ReadInteger(s, "ProxyType", 0) & 0xFF);
  LogServerErrors = file->ReadBool(s, "LogServerErrors", false);
  LogToServer = file->ReadBool(s, "LogToServer", false);
  LogFromServer = file->ReadBool(s, "LogFromServer", false);
  SSLHost = file->ReadBool(s, "SSLHost", false);
  IPv6Host = file->ReadBool(s, "IPv6Host", false);
  LocalAccess = file->ReadBool(s, "LocalAccess", true);
  SSLFingerprint = file->ReadString(s, "SSLFingerprint", "");
  SSLSubjectHash = file->ReadString(s, "SSLSubjectHash", "");
  SSLIssuerHash = file->ReadString(s, "SSLIssuerHash", "");
  SSLVerifycert = file->ReadBool(s, "SSLVerifycert", false);
  SSLClientCertificatePath = file->ReadString(s, "SSLClientCertificatePath", "");
  SSLUseClientCertificate = file->ReadBool(s, "SSLUseClientCertificate", false);
  ProxyHost = file->ReadString(s, "ProxyHost", "127.0.0.1");
  ProxyPort = file->ReadInteger(s, "ProxyPort", 1080);
  ProxyHost2 = file->ReadString(s, "ProxyHost2", "127.0.0.1");
  ProxyPort2 = file->ReadInteger(s, "ProxyPort2", 1080);
  TunnelCaption = file->ReadString(s, "TunnelCaption", "");
  // Keys added later, after the 22: a missing key gives the value that keeps
  // the tunnel as it was before the key existed.
  LogSummary = file->ReadBool(s, "LogSummary", false);
  ProxyUser = file->ReadString(s, "ProxyUser", "");
  ProxyUser2 = file->ReadString(s, "ProxyUser2", "");
  ProxyPasswordFile = file->ReadString(s, "ProxyPasswordFile", "");
  ProxyPasswordFile2 = file->ReadString(s, "ProxyPasswordFile2", "");
  SSLSNI = file->ReadBool(s, "SSLSNI", false);
  SSLVerifyChain = file->ReadBool(s, "SSLVerifyChain", false);
  SSLPinnedKeys = file->ReadString(s, "SSLPinnedKeys", "");
}

// UI thread (the only thread that changes the persisted fields, so no lock is
// needed to read them here). Writes all 22 keys, empty strings included.
void TKestruneItem::WriteTunnelSection(TIniFile* file, int n) const {
  if (file == nullptr) return;
  const std::string s = TunnelSectionName(n);
  file->WriteString(s, "Server", Server);
  file->WriteInteger(s, "Port", Port);
  file->WriteInteger(s, "Mapped", Mapped);
  file->WriteBool(s, "Autostart", Autostart);
  file->WriteInteger(s, "ProxyType", ProxyType);
  file->WriteBool(s, "LogServerErrors", LogServerErrors);
  file->WriteBool(s, "LogToServer", LogToServer);
  file->WriteBool(s, "LogFromServer", LogFromServer);
  file->WriteBool(s, "SSLHost", SSLHost);
  file->WriteBool(s, "IPv6Host", IPv6Host);
  file->WriteBool(s, "LocalAccess", LocalAccess);
  file->WriteString(s, "SSLFingerprint", SSLFingerprint);
  file->WriteString(s, "SSLSubjectHash", SSLSubjectHash);
  file->WriteString(s, "SSLIssuerHash", SSLIssuerHash);
  file->WriteBool(s, "SSLVerifycert", SSLVerifycert);
  file->WriteString(s, "SSLClientCertificatePath", SSLClientCertificatePath);
  file->WriteBool(s, "SSLUseClientCertificate", SSLUseClientCertificate);
  file->WriteString(s, "ProxyHost", ProxyHost);
  file->WriteInteger(s, "ProxyPort", ProxyPort);
  file->WriteString(s, "ProxyHost2", ProxyHost2);
  file->WriteInteger(s, "ProxyPort2", ProxyPort2);
  file->WriteString(s, "TunnelCaption", TunnelCaption);
  // Keys added later: written only when they differ from their missing-key
  // value, so a section without them is written back as it was.
  if (LogSummary) file->WriteBool(s, "LogSummary", LogSummary);
  if (!ProxyUser.empty()) file->WriteString(s, "ProxyUser", ProxyUser);
  if (!ProxyUser2.empty()) file->WriteString(s, "ProxyUser2", ProxyUser2);
  if (!ProxyPasswordFile.empty()) file->WriteString(s, "ProxyPasswordFile", ProxyPasswordFile);
  if (!ProxyPasswordFile2.empty()) file->WriteString(s, "ProxyPasswordFile2", ProxyPasswordFile2);
  if (SSLSNI) file->WriteBool(s, "SSLSNI", SSLSNI);
  if (SSLVerifyChain) file->WriteBool(s, "SSLVerifyChain", SSLVerifyChain);
  if (!SSLPinnedKeys.empty()) file->WriteString(s, "SSLPinnedKeys", SSLPinnedKeys);
}

}  // namespace sorvik
