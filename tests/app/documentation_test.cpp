// The documentation that ships with the program, against the program itself:
//  - the settings reference sorvik.ini(5) documents every key of the key tables
//    (kind, range, value when missing, the control that sets it) and no key the
//    program does not read, and the program writes no key outside those tables;
//  - sorvik(1) and the README refer to it;
//  - Program -> Homepage and Support name the installed documentation;
//  - every example of a TLS tunnel to a public server, taken from the text of
//    the README and the man pages, checks the server, and run by the real
//    program against a TLS server made here (through a real SOCKS proxy) it logs
//    a verified certificate and no "NOT VERIFIED" line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "app/core/documentation.h"
#include "app/settings/ini_file.h"
#include "app/settings/settings.h"
#include "app/settings/tunnel_section.h"
#include "app/version.h"
#include "support/kernel_state.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using test::ChildProcess;
using test::TempDir;
using TKind = TSettingsKey::TKind;

constexpr int kStateMs = 60000;
const std::string kSource = SORVIK_SOURCE_DIR;
const std::string kReferencePage = "data/sorvik.ini.5.in";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Squeeze(const std::string& text) {
  return std::regex_replace(std::regex_replace(text, std::regex("\\s+"), " "), std::regex("^ | $"), "");
}

const char* KindWord(TKind kind) {
  switch (kind) {
    case TKind::Boolean: return "Boolean";
    case TKind::Integer: return "Integer";
    case TKind::String: return "String";
    case TKind::ProxyType: return "Proxy type";
  }
  return "?";
}

std::string SectionHeading(const std::string& section) { return "[" + section + "]"; }

// ---------------------------------------------------------------------------
// The settings reference

// One entry of the reference page: the text up to the first .br (kind, range,
// value when missing), the text after it up to the next .br (the control), and
// the line it starts on.
struct TEntry {
  std::string Head;
  std::string Dialog;
  std::string Rest;
  int Line = 0;
};

// Section ("Options", "Tunnel:N", ...) -> key -> entry. Entries are ".TP",
// ".B Key" under a ".SH" heading that names the section in brackets.
std::map<std::string, std::map<std::string, TEntry>> ReferenceEntries(const std::string& page) {
  std::map<std::string, std::map<std::string, TEntry>> entries;
  const std::vector<std::string> lines = Lines(page);
  std::string section;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind(".SH", 0) == 0) {
      std::smatch m;
      section = std::regex_search(line, m, std::regex("\\[([^\\]]+)\\]")) ? m[1].str() : std::string();
      continue;
    }
    if (section.empty() || line != ".TP" || i + 1 >= lines.size() || lines[i + 1].rfind(".B ", 0) != 0) continue;
    const std::string key = Squeeze(lines[i + 1].substr(3));
    TEntry entry;
    entry.Line = static_cast<int>(i) + 2;
    int part = 0;
    for (size_t j = i + 2; j < lines.size(); ++j) {
      const std::string& body = lines[j];
      if (body.rfind(".TP", 0) == 0 || body.rfind(".SH", 0) == 0 || body.rfind(".SS", 0) == 0) break;
      if (body == ".br") {
        ++part;
        continue;
      }
      std::string& into = part == 0 ? entry.Head : part == 1 ? entry.Dialog : entry.Rest;
      into += " " + body;
    }
    entry.Head = Squeeze(entry.Head);
    entry.Dialog = Squeeze(entry.Dialog);
    entry.Rest = Squeeze(entry.Rest);
    entries[section][key] = entry;
  }
  return entries;
}

// The entry a key lacks, filled in as far as the code knows it.
std::string EntryTemplate(const TSettingsKey& key) {
  const bool ranged = key.Kind == TKind::Integer || key.Kind == TKind::ProxyType;
  return ".TP\n.B " + key.Name + "\n" + KindWord(key.Kind) + (ranged ? ", <range>" : "") +
         (key.Read ? "; when missing: " + (key.Missing.empty() ? std::string("empty") : key.Missing) + "."
                   : std::string("; never read.")) +
         "\n.br\nDialog: <the control that sets it, or: none: edit the file>.\n.br\n<what it does>\n";
}

TEST(SettingsReference, DocumentsEveryKeyTheProgramReadsWithItsKindRangeDefaultAndControl) {
  const std::string page = Slurp(kSource + "/" + kReferencePage);
  ASSERT_FALSE(page.empty()) << kReferencePage << " is missing";
  const auto entries = ReferenceEntries(page);
  const std::regex head("^(Boolean|Integer|String|Proxy type)(,.*)?; (when missing: (.*)|never read)\\.$");
  for (const TSettingsKey& key : SettingsKeys()) {
    const std::string where = "the key \"" + key.Name + "\" of section " + SectionHeading(key.Section);
    const auto section = entries.find(key.Section);
    if (section == entries.end() || !section->second.contains(key.Name)) {
      ADD_FAILURE() << "sorvik.ini(5) does not document " << where << ".\nAdd its entry to " << kReferencePage
                    << " below the heading that names " << SectionHeading(key.Section)
                    << " (in the order the keys are written):\n"
                    << EntryTemplate(key);
      continue;
    }
    const TEntry& entry = section->second.at(key.Name);
    SCOPED_TRACE(kReferencePage + ":" + std::to_string(entry.Line) + ": " + where);
    std::smatch m;
    if (!std::regex_match(entry.Head, m, head)) {
      ADD_FAILURE() << "the entry's first line \"" << entry.Head << "\" is not in the form\n" << EntryTemplate(key);
      continue;
    }
    EXPECT_EQ(m[1].str(), KindWord(key.Kind)) << "the program reads it as " << KindWord(key.Kind);
    if (key.Kind == TKind::Integer || key.Kind == TKind::ProxyType) {
      EXPECT_TRUE(m[2].matched) << "an integer's entry names its range after the kind: " << EntryTemplate(key);
    }
    if (key.Read) {
      ASSERT_TRUE(m[4].matched) << "the program reads it: say its value when missing";
      const std::string documented = m[4].str() == "empty" ? std::string() : m[4].str();
      EXPECT_EQ(documented, key.Missing) << "a missing key gives \"" << key.Missing << "\"";
    } else {
      EXPECT_FALSE(m[4].matched) << "the program never reads it: say \"never read\"";
    }
    EXPECT_EQ(entry.Dialog.rfind("Dialog: ", 0), 0u)
        << "the second part names the control that sets it: \"Dialog: ...\" (\"Dialog: none: edit the "
           "file.\" when none does); found \""
        << entry.Dialog << "\"";
    EXPECT_GT(entry.Dialog.size(), std::string("Dialog: ").size() + 4);
    EXPECT_FALSE(entry.Rest.empty()) << "the entry says what the key does";
  }
}

TEST(SettingsReference, DocumentsNoKeyThatTheProgramDoesNotRead) {
  std::set<std::pair<std::string, std::string>> known;
  for (const TSettingsKey& key : SettingsKeys()) known.emplace(key.Section, key.Name);
  std::set<std::string> sections;
  for (const auto& [section, keys] : ReferenceEntries(Slurp(kSource + "/" + kReferencePage))) {
    sections.insert(section);
    for (const auto& [key, entry] : keys) {
      EXPECT_TRUE(known.contains({section, key}))
          << kReferencePage << ":" << entry.Line << ": documents the key \"" << key << "\" of section "
          << SectionHeading(section) << ", which the program does not read";
    }
  }
  EXPECT_EQ(sections, (std::set<std::string>{"Options", "Tunnel:N", "Proxybase:N"}));
}

// A key written by the program but missing from the key tables would be
// missing from the reference too: every key the program writes, with every
// value set away from its default, is one of SettingsKeys().
TEST(SettingsReference, TheProgramWritesNoKeyOutsideTheKeyTables) {
  TSettings settings;
  for (const TOptionKey& key : OptionKeys()) {
    std::visit(
        [&](auto member) {
          if constexpr (std::is_same_v<decltype(member), bool TOptions::*>) {
            settings.Options.*member = !(settings.Options.*member);
          } else {
            settings.Options.*member += 1;
          }
        },
        key.Member);
  }
  settings.Options.Maximized = false;  // a maximized window's geometry is not written
  TunnelSettings tunnel;
  for (const TTunnelKey& key : TunnelKeys()) {
    std::visit(
        [&](const auto& field) {
          using K = std::decay_t<decltype(field)>;
          if constexpr (std::is_same_v<K, TStringKey>) {
            tunnel.*field.Member = "set";
          } else if constexpr (std::is_same_v<K, TIntegerKey>) {
            tunnel.*field.Member = field.Missing + 1;
          } else if constexpr (std::is_same_v<K, TBoolKey>) {
            tunnel.*field.Member = !field.Missing;
          } else {
            tunnel.*field.Member = TProxyType::Socks5;
          }
        },
        key.Field);
  }
  settings.Tunnels.push_back(std::make_unique<TKestruneItem>());
  settings.Tunnels.back()->Settings = tunnel;
  settings.ChainProxies.push_back(std::make_unique<TChainItem>());
  TIniFile file;
  WriteSettings(file, settings);

  std::set<std::pair<std::string, std::string>> known;
  for (const TSettingsKey& key : SettingsKeys()) known.emplace(key.Section, key.Name);
  std::string section;
  int written = 0;
  for (const std::string& line : Lines(file.ToBytes())) {
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = std::regex_replace(line.substr(1, line.size() - 2), std::regex(":[0-9]+$"), ":N");
      continue;
    }
    const std::string key = line.substr(0, line.find('='));
    ++written;
    EXPECT_TRUE(known.contains({section, key}))
        << "the program writes the key \"" << key << "\" of section [" << section
        << "] outside the key tables (OptionKeys, TunnelKeys, ChainProxyKeys), so the settings reference "
           "cannot list it: add it to its section's table";
  }
  EXPECT_EQ(written, static_cast<int>(known.size())) << "every key of the tables is written here";
}

TEST(SettingsReference, TheProgramsPageAndTheReadmeReferToIt) {
  const std::string program = Slurp(kSource + "/data/sorvik.1.in");
  const std::vector<std::string> lines = Lines(program);
  bool inSeeAlso = false, seeAlso = false, inFiles = false, files = false;
  for (const std::string& line : lines) {
    if (line.rfind(".SH", 0) == 0) {
      inSeeAlso = line.find("SEE ALSO") != std::string::npos;
      inFiles = line.find("FILES") != std::string::npos;
    }
    if (line == ".BR sorvik.ini (5)," || line == ".BR sorvik.ini (5)." || line == ".BR sorvik.ini (5)") {
      seeAlso = seeAlso || inSeeAlso;
      files = files || inFiles;
    }
  }
  EXPECT_TRUE(seeAlso) << "sorvik(1) lists sorvik.ini(5) under SEE ALSO";
  EXPECT_TRUE(files) << "sorvik(1) names sorvik.ini(5) where FILES speaks of the settings file";
  EXPECT_NE(Slurp(kSource + "/README.md").find("`man sorvik.ini`"), std::string::npos)
      << "the README points to the settings reference";
}

// ---------------------------------------------------------------------------
// Program -> Homepage and Program -> Support

TEST(InstalledDocumentation, HomepageAndSupportNameTheGuideInstalledBesideTheProgram) {
  TempDir prefix;
  namespace fs = std::filesystem;
  fs::create_directories(prefix.Path() + "/bin");
  const std::string exe = prefix.WriteFile("bin/sorvik", "");
  EXPECT_EQ(InstalledDocDir(exe), "") << "no README installed: a build tree";
  fs::create_directories(prefix.Path() + "/share/doc/sorvik");
  prefix.WriteFile("share/doc/sorvik/README.md", "# Sorvik\n");
  const std::string docDir = prefix.Path() + "/share/doc/sorvik";
  EXPECT_EQ(InstalledDocDir(exe), docDir);
  EXPECT_EQ(InstalledDocDir(prefix.Path() + "/bin/../bin/sorvik"), docDir);
  EXPECT_EQ(InstalledDocDir(""), "");

  struct Case {
    const char* name;
    std::string url;
  };
  for (const Case& k : {Case{"no homepage", ""}, Case{"a homepage", "https://sorvik.invalid/project"}}) {
    SCOPED_TRACE(k.name);
    const std::string home = HomepageText(docDir, k.url);
    EXPECT_NE(home.find(docDir + "/README.md"), std::string::npos) << home;
    EXPECT_NE(home.find("man sorvik.ini"), std::string::npos) << home;
    EXPECT_EQ(home.find("source tree"), std::string::npos) << home;
    EXPECT_EQ(home.find(k.url.empty() ? "homepage" : k.url) != std::string::npos, !k.url.empty()) << home;
    const std::string support = SupportText(docDir, k.url, "/home/u/.config/Sorvik/");
    EXPECT_NE(support.find("To report a problem, "), std::string::npos) << support;
    EXPECT_NE(support.find(k.url.empty() ? "apt show sorvik" : "go to " + k.url), std::string::npos) << support;
    EXPECT_NE(support.find("error.log"), std::string::npos) << support;
    EXPECT_NE(support.find("/home/u/.config/Sorvik/"), std::string::npos) << support;
    EXPECT_NE(support.find(docDir + "/README.md"), std::string::npos) << support;
    EXPECT_EQ(support.find("source tree"), std::string::npos) << support;
  }
  // Run from a build tree, they say so instead of naming a directory that is not there.
  EXPECT_NE(HomepageText("", "").find("build tree"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The examples of a TLS tunnel

struct TExample {
  std::string File;
  int Line = 0;
  std::vector<std::pair<std::string, std::string>> Keys;  // in the example's order

  std::string Value(const std::string& key) const {
    for (const auto& [k, v] : Keys) {
      if (k == key) return v;
    }
    return {};
  }
  std::string Where() const { return File + ":" + std::to_string(Line); }
};

// Every "[Tunnel:N]" of a text (a README code block, or lines between .nf
// and .fi of a man page) with the key=value lines right below it.
std::vector<TExample> TunnelExamples(const std::string& file) {
  std::vector<TExample> examples;
  const std::vector<std::string> lines = Lines(Slurp(kSource + "/" + file));
  const std::regex header("^ *\\[Tunnel:[0-9]+\\]$");
  const std::regex entry("^ *([A-Za-z][A-Za-z0-9]*)=(.*)$");
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!std::regex_match(lines[i], header)) continue;
    TExample example{file, static_cast<int>(i) + 1, {}};
    std::smatch m;
    for (size_t j = i + 1; j < lines.size() && std::regex_match(lines[j], m, entry); ++j) {
      example.Keys.emplace_back(m[1].str(), m[2].str());
    }
    examples.push_back(std::move(example));
  }
  return examples;
}

bool PublicHost(const std::string& host) {
  return !host.empty() && host != "localhost" && host.rfind("127.", 0) != 0 && host != "::1" &&
         host.rfind("10.", 0) != 0 && host.rfind("192.168.", 0) != 0;
}

// The TLS examples to a public server of the README and both man pages.
std::vector<TExample> PublicTlsExamples() {
  std::vector<TExample> found;
  for (const char* file : {"README.md", "data/sorvik.1.in", "data/sorvik.ini.5.in"}) {
    int inFile = 0;
    for (TExample& example : TunnelExamples(file)) {
      if (example.Value("SSLHost") != "1" || !PublicHost(example.Value("Server"))) continue;
      ++inFile;
      found.push_back(std::move(example));
    }
    EXPECT_GT(inFile, 0) << file << " has no example of a TLS tunnel to a public server (or this test no longer "
                                    "finds it: a line \"[Tunnel:0]\" followed by its key=value lines)";
  }
  return found;
}

TEST(TlsExamples, EveryExampleOfATlsTunnelToAPublicServerChecksTheServer) {
  for (const TExample& example : PublicTlsExamples()) {
    EXPECT_EQ(example.Value("SSLVerifyChain"), "1")
        << example.Where() << ": a TLS tunnel to the public server " << example.Value("Server")
        << " without SSLVerifyChain=1 takes any certificate";
    EXPECT_EQ(example.Value("SSLSNI"), "1")
        << example.Where() << ": a TLS tunnel to the public server " << example.Value("Server")
        << " without SSLSNI=1 does not name the server it checks";
  }
}

// A private certificate authority and a server certificate for `host`, made
// with the openssl command.
struct TPrivatePki {
  TempDir Dir;
  std::string Ca, Cert, Key;
  std::string Problem;

  explicit TPrivatePki(const std::string& host) {
    const std::string d = Dir.Path();
    Ca = d + "/ca.pem";
    Cert = d + "/server.pem";
    Key = d + "/server.key";
    Dir.WriteFile("server.ext", "subjectAltName=DNS:" + host +
                                    "\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=serverAuth\n");
    const std::string commands =
        "cd '" + d +
        "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -keyout ca.key "
        "-out ca.pem -subj '/O=Sorvik Example Test/CN=Example Test CA' -addext "
        "'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign' 2>err.txt && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr "
        "-subj '/O=Sorvik Example Test/CN=" +
        host +
        "' 2>>err.txt && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-sha256 -extfile server.ext -out server.pem 2>>err.txt";
    if (std::system(commands.c_str()) != 0) Problem = "openssl could not make the certificates: " + Slurp(d + "/err.txt");
  }
};

// Each example runs as written, but for where its peers are: the remote port
// is a TLS server made here with a certificate for the example's host, signed
// by a private CA that the program trusts (SSL_CERT_FILE); its SOCKS proxy is
// OpenSSH's (ssh -D), which looks the host name up in a hosts file of the
// test's own (nss_wrapper) as Tor would look it up; the local port is a free
// one. A client's bytes come back through it, and the log has a verified
// certificate and no "NOT VERIFIED".
TEST(TlsExamples, EachExampleRunsAgainstALocalServerWithAVerifiedCertificate) {
  const char* wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
  for (const char* program : {"openssl", "ssh", "ssh-keygen"}) {
    if (!test::ProgramAvailable(program)) GTEST_SKIP() << program << " is missing: run scripts/setup.sh";
  }
  if (::access(wrapper, R_OK) != 0) GTEST_SKIP() << "libnss-wrapper is missing: run scripts/setup.sh";
  const std::vector<TExample> examples = PublicTlsExamples();
  ASSERT_FALSE(examples.empty());
  for (const TExample& example : examples) {
    SCOPED_TRACE(example.Where());
    const std::string host = example.Value("Server");
    const std::string type = example.Value("ProxyType");
    ASSERT_TRUE(type == "2" || type == "3")
        << "this test runs examples through a SOCKS 4A or SOCKS 5 proxy; the example has ProxyType=" << type;
    TPrivatePki pki(host);
    ASSERT_EQ(pki.Problem, "");

    const uint16_t tlsPort = test::FreePort();
    ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(tlsPort), "-cert", pki.Cert,
                         "-key", pki.Key, "-rev"});
    ASSERT_TRUE(server.WaitForPort(tlsPort)) << server.Stderr();

    TempDir data;
    const std::string hosts = data.WriteFile("hosts", "127.0.0.1 " + host + "\n");
    const uint16_t proxyPort = test::FreePort();
    ChildProcess proxy({"env", std::string("LD_PRELOAD=") + wrapper, "NSS_WRAPPER_HOSTS=" + hosts, "sh",
                        kSource + "/tests/proxy/peers/ssh_socks.sh", data.Path() + "/ssh", std::to_string(proxyPort)});
    ASSERT_TRUE(proxy.WaitForPort(proxyPort, 15000)) << proxy.Stderr();

    const uint16_t mapped = test::FreePort();
    std::string section = "[Tunnel:0]\n";
    for (const auto& [key, value] : example.Keys) {
      std::string v = value;
      if (key == "Port") v = std::to_string(tlsPort);
      if (key == "ProxyPort") v = std::to_string(proxyPort);
      if (key == "Mapped") v = std::to_string(mapped);
      if (key == "Autostart") v = "1";
      section += key + "=" + v + "\n";
    }
    if (example.Value("Autostart").empty()) section += "Autostart=1\n";
    data.WriteFile("sorvik.ini", "[Options]\nAutostartDelay=0\n\n" + section);
    const std::string emptyCertDir = data.Path() + "/certs";
    std::filesystem::create_directories(emptyCertDir);
    ChildProcess sorvik({"env", "SSL_CERT_FILE=" + pki.Ca, "SSL_CERT_DIR=" + emptyCertDir, SORVIK_EXECUTABLE,
                         "--headless", "--data-dir", data.Path()});
    ASSERT_TRUE(sorvik.Started());
    EXPECT_TRUE(test::WaitUntil([&] {
      int limit = 0;
      return !sorvik.Running() || test::AcceptQueueOf(mapped, limit) >= 0;
    }, kStateMs));
    ASSERT_TRUE(sorvik.Running()) << sorvik.Stderr();

    test::BlockingClient client(mapped);
    ASSERT_TRUE(client.SendAll("article 1\n", kStateMs));
    EXPECT_EQ(client.RecvExact(10, kStateMs), "1 elcitra\n") << sorvik.Stdout();
    // The verdict on the certificate, whichever it is, is logged once per connection.
    EXPECT_TRUE(test::WaitUntil([&] { return sorvik.Stdout().find("Server certificate ") != std::string::npos; },
                                kStateMs))
        << sorvik.Stdout();
    EXPECT_NE(sorvik.Stdout().find("Server certificate verified"), std::string::npos) << sorvik.Stdout();
    EXPECT_NE(sorvik.Stdout().find("trusted chain and host name \"" + host + "\""), std::string::npos)
        << sorvik.Stdout();
    EXPECT_EQ(sorvik.Stdout().find("NOT VERIFIED"), std::string::npos) << sorvik.Stdout();
    sorvik.Stop();
  }
}

}  // namespace
}  // namespace sorvik
