// unit_sandbox UNIT_FILE -- PROGRAM [ARG...]
//
// Runs PROGRAM under the sandbox settings of a systemd user unit's [Service]
// section, applied the way systemd applies them to a user service, for a test
// machine where no user manager runs (systemd is not its init). It knows:
//
//   NoNewPrivileges=yes          prctl(PR_SET_NO_NEW_PRIVS)
//   UMask=NNNN                   umask()
//   PrivateUsers=yes             a user namespace that maps the user (and its group) to itself only
//   PrivateTmp=yes               a new mount namespace with empty /tmp and /var/tmp
//   ProtectSystem=yes|full       /usr and /boot (full: also /etc) read-only
//   ProtectKernelTunables=yes    /proc/sys and /sys read-only
//   ProtectControlGroups=yes     /sys/fs/cgroup read-only
//     (a user service's manager applies these four only with PrivateUsers=yes:
//     without it they are listed as not applied, as systemd would leave them)
//   RestrictAddressFamilies=...  socket() with any other family: EAFNOSUPPORT
//   LockPersonality=yes          personality() other than a query or the current one: EPERM
//   MemoryDenyWriteExecute=yes   writable and executable mappings, mprotect/pkey_mprotect
//                                with PROT_EXEC, shmat with SHM_EXEC: EPERM
//   SystemCallArchitectures=native   system calls of other ABIs: the process is killed
//   RestrictRealtime=yes         sched_setscheduler with a realtime policy: EPERM
//   RestrictNamespaces=yes       unshare/clone with namespace flags, setns: EPERM; clone3: ENOSYS
//   RestrictSUIDSGID=yes         chmod/fchmod/fchmodat with set-user/group-id bits: EPERM
//
// and prints on standard error one line "unit_sandbox: applied: ..." and, for
// any other sandbox-looking setting of the section, "unit_sandbox: NOT
// applied: ...". Exit status 125 when a setting cannot be applied.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef CLONE_NEWTIME
#define CLONE_NEWTIME 0x00000080
#endif

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "unit_sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(125);
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  const size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

bool Yes(const std::string& v) { return v == "yes" || v == "true" || v == "1" || v == "on"; }

// ---- seccomp: a filter program built block by block

using Program = std::vector<sock_filter>;

sock_filter Stmt(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter Jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return BPF_JUMP(code, k, jt, jf); }

constexpr uint32_t kNr = offsetof(seccomp_data, nr);
uint32_t Arg(int i) { return static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * i); }  // low 32 bits (little endian)
uint32_t Errno(int e) { return SECCOMP_RET_ERRNO | (static_cast<uint32_t>(e) & SECCOMP_RET_DATA); }

// A block for one system call: when the call is `nr`, runs `body`, which ends
// by returning or by falling through to the next block.
void AddBlock(Program& p, int nr, const Program& body) {
  p.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, kNr));
  p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, static_cast<uint8_t>(body.size())));
  p.insert(p.end(), body.begin(), body.end());
}

// Returns `error` when argument `arg` has any of `bits`.
Program DenyBits(int arg, uint32_t bits, int error) {
  return {Stmt(BPF_LD | BPF_W | BPF_ABS, Arg(arg)), Stmt(BPF_ALU | BPF_AND | BPF_K, bits),
          Jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0), Stmt(BPF_RET | BPF_K, Errno(error))};
}

// Returns `error` unless argument `arg` is one of `allowed`.
Program AllowValues(int arg, const std::vector<uint32_t>& allowed, int error) {
  Program b{Stmt(BPF_LD | BPF_W | BPF_ABS, Arg(arg))};
  for (size_t i = 0; i < allowed.size(); ++i) {
    // On a match, jump past the remaining comparisons and the return.
    b.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, allowed[i], static_cast<uint8_t>(allowed.size() - i), 0));
  }
  b.push_back(Stmt(BPF_RET | BPF_K, Errno(error)));
  return b;
}

// Returns `error` when argument `arg` is one of `denied`.
Program DenyValues(int arg, const std::vector<uint32_t>& denied, int error) {
  const size_t n = denied.size();
  Program b{Stmt(BPF_LD | BPF_W | BPF_ABS, Arg(arg))};
  for (size_t i = 0; i < n; ++i) {
    // On a match, jump over the remaining comparisons and the skip to the return.
    b.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, denied[i], static_cast<uint8_t>(n - 1 - i + 1), 0));
  }
  b.push_back(Stmt(BPF_JMP | BPF_JA, 1));  // no match: over the return
  b.push_back(Stmt(BPF_RET | BPF_K, Errno(error)));
  return b;
}

const std::map<std::string, uint32_t> kFamilies = {
    {"AF_UNIX", AF_UNIX}, {"AF_LOCAL", AF_UNIX}, {"AF_INET", AF_INET}, {"AF_INET6", AF_INET6},
    {"AF_NETLINK", AF_NETLINK}, {"AF_PACKET", AF_PACKET}, {"AF_BLUETOOTH", AF_BLUETOOTH}, {"AF_VSOCK", AF_VSOCK}};

constexpr uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                     CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWTIME;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  f.close();
  if (!f) Fail("cannot write " + path);
}

void ReadOnly(const char* path) {
  struct stat st{};
  if (::stat(path, &st) != 0) return;  // not on this machine
  if (::mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) != 0) Fail(std::string("bind ") + path);
  if (::mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0 &&
      ::mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    Fail(std::string("read-only ") + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int sep = 1;
  while (sep < argc && std::strcmp(argv[sep], "--") != 0) ++sep;
  if (argc < 4 || sep != 2 || sep + 1 >= argc) {
    std::fprintf(stderr, "usage: unit_sandbox UNIT_FILE -- PROGRAM [ARG...]\n");
    return 125;
  }
  std::ifstream unit(argv[1]);
  if (!unit) Fail(std::string("cannot read ") + argv[1]);
  std::map<std::string, std::string> service;
  std::string line, section;
  while (std::getline(unit, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line;
      continue;
    }
    const size_t eq = line.find('=');
    if (section == "[Service]" && eq != std::string::npos) service[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
  }

  std::vector<std::string> applied, notApplied;
  const auto has = [&](const char* key) { return service.count(key) != 0; };
  const auto on = [&](const char* key) { return has(key) && Yes(service[key]); };

  // ---- mount namespace settings, in a user namespace of the user alone
  const std::string protectSystem = has("ProtectSystem") ? service["ProtectSystem"] : "no";
  const bool mounts = on("PrivateTmp") || Yes(protectSystem) || protectSystem == "full" || protectSystem == "strict" ||
                      on("ProtectKernelTunables") || on("ProtectControlGroups");
  if (mounts && !on("PrivateUsers")) {
    for (const char* key : {"PrivateTmp", "ProtectSystem", "ProtectKernelTunables", "ProtectControlGroups"}) {
      if (has(key)) notApplied.push_back(std::string(key) + " (a user service needs PrivateUsers=yes for it)");
    }
  } else if (on("PrivateUsers")) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) Fail("unshare (user and mount namespaces)");
    WriteFile("/proc/self/setgroups", "deny");
    WriteFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n");
    WriteFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
    applied.push_back("PrivateUsers");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) Fail("make / a slave mount");
    if (on("PrivateTmp")) {
      for (const char* dir : {"/tmp", "/var/tmp"}) {
        if (::mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) Fail(std::string("tmpfs on ") + dir);
      }
      applied.push_back("PrivateTmp");
    }
    if (protectSystem == "strict") {
      notApplied.push_back("ProtectSystem=strict");
    } else if (Yes(protectSystem) || protectSystem == "full") {
      ReadOnly("/usr");
      ReadOnly("/boot");
      ReadOnly("/efi");
      if (protectSystem == "full") ReadOnly("/etc");
      applied.push_back("ProtectSystem=" + protectSystem);
    }
    if (on("ProtectControlGroups")) {
      ReadOnly("/sys/fs/cgroup");
      applied.push_back("ProtectControlGroups");
    }
    if (on("ProtectKernelTunables")) {
      ReadOnly("/proc/sys");
      ReadOnly("/sys");
      applied.push_back("ProtectKernelTunables");
    }
  }

  if (has("UMask")) {
    ::umask(static_cast<mode_t>(std::stoul(service["UMask"], nullptr, 8)));
    applied.push_back("UMask=" + service["UMask"]);
  }

  // ---- the seccomp filter
  Program p;
  p.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  if (has("SystemCallArchitectures") && service["SystemCallArchitectures"] == "native") {
    p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    p.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    // x32 system calls share the architecture number; they carry this bit.
    p.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, kNr));
    p.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1));
    p.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    applied.push_back("SystemCallArchitectures=native");
  }
  if (has("RestrictAddressFamilies")) {
    std::istringstream words(service["RestrictAddressFamilies"]);
    std::vector<uint32_t> families;
    std::string w;
    while (words >> w) {
      if (w[0] == '~' || kFamilies.count(w) == 0) {
        notApplied.push_back("RestrictAddressFamilies item " + w);
        continue;
      }
      families.push_back(kFamilies.at(w));
    }
    AddBlock(p, SYS_socket, AllowValues(0, families, EAFNOSUPPORT));
    applied.push_back("RestrictAddressFamilies=" + service["RestrictAddressFamilies"]);
  }
  if (on("LockPersonality")) {
    const int current = ::personality(0xffffffff);
    AddBlock(p, SYS_personality, AllowValues(0, {static_cast<uint32_t>(current), 0xffffffffu}, EPERM));
    applied.push_back("LockPersonality");
  }
  if (on("MemoryDenyWriteExecute")) {
    Program mmapBody{Stmt(BPF_LD | BPF_W | BPF_ABS, Arg(2)), Stmt(BPF_ALU | BPF_AND | BPF_K, PROT_WRITE | PROT_EXEC),
                     Jump(BPF_JMP | BPF_JEQ | BPF_K, PROT_WRITE | PROT_EXEC, 0, 1), Stmt(BPF_RET | BPF_K, Errno(EPERM))};
    AddBlock(p, SYS_mmap, mmapBody);
    AddBlock(p, SYS_mprotect, DenyBits(2, PROT_EXEC, EPERM));
    AddBlock(p, SYS_pkey_mprotect, DenyBits(2, PROT_EXEC, EPERM));
    AddBlock(p, SYS_shmat, DenyBits(2, SHM_EXEC, EPERM));
    applied.push_back("MemoryDenyWriteExecute");
  }
  if (on("RestrictRealtime")) {
    AddBlock(p, SYS_sched_setscheduler, DenyValues(1, {SCHED_FIFO, SCHED_RR, 6 /* SCHED_DEADLINE */}, EPERM));
    applied.push_back("RestrictRealtime");
  }
  if (on("RestrictNamespaces")) {
    AddBlock(p, SYS_unshare, DenyBits(0, kNamespaceFlags, EPERM));
    AddBlock(p, SYS_clone, DenyBits(0, kNamespaceFlags, EPERM));
    AddBlock(p, SYS_setns, {Stmt(BPF_RET | BPF_K, Errno(EPERM))});
    AddBlock(p, SYS_clone3, {Stmt(BPF_RET | BPF_K, Errno(ENOSYS))});
    applied.push_back("RestrictNamespaces");
  }
  if (on("RestrictSUIDSGID")) {
    AddBlock(p, SYS_chmod, DenyBits(1, S_ISUID | S_ISGID, EPERM));
    AddBlock(p, SYS_fchmod, DenyBits(1, S_ISUID | S_ISGID, EPERM));
    AddBlock(p, SYS_fchmodat, DenyBits(2, S_ISUID | S_ISGID, EPERM));
    applied.push_back("RestrictSUIDSGID (chmod, fchmod, fchmodat)");
  }
  p.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

  // Sandbox settings this tool does not apply are named, never passed over.
  static const std::set<std::string> kKnown = {
      "NoNewPrivileges", "UMask", "PrivateUsers", "PrivateTmp", "ProtectSystem", "ProtectKernelTunables", "ProtectControlGroups",
      "RestrictAddressFamilies", "LockPersonality", "MemoryDenyWriteExecute", "SystemCallArchitectures",
      "RestrictRealtime", "RestrictNamespaces", "RestrictSUIDSGID"};
  static const std::set<std::string> kNotSandbox = {"Type", "ExecStart", "ExecReload", "ExecStop", "Restart",
                                                    "RestartSec", "RestartPreventExitStatus", "Environment",
                                                    "TimeoutStopSec", "KillMode", "KillSignal", "SuccessExitStatus"};
  for (const auto& [key, value] : service) {
    if (kKnown.count(key) == 0 && kNotSandbox.count(key) == 0) notApplied.push_back(key + "=" + value);
  }

  if (on("NoNewPrivileges") || p.size() > 2) {
    // Also what an unprivileged process needs before it may load a filter.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) Fail("PR_SET_NO_NEW_PRIVS");
    if (on("NoNewPrivileges")) applied.push_back("NoNewPrivileges");
  }
  if (p.size() > 2) {
    sock_fprog prog{static_cast<unsigned short>(p.size()), p.data()};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) Fail("PR_SET_SECCOMP");
  }

  std::string list;
  for (const auto& a : applied) list += (list.empty() ? "" : "; ") + a;
  std::fprintf(stderr, "unit_sandbox: applied: %s\n", list.c_str());
  if (!notApplied.empty()) {
    list.clear();
    for (const auto& a : notApplied) list += (list.empty() ? "" : "; ") + a;
    std::fprintf(stderr, "unit_sandbox: NOT applied: %s\n", list.c_str());
  }
  std::fflush(stderr);
  ::execvp(argv[sep + 1], argv + sep + 1);
  Fail(std::string("cannot run ") + argv[sep + 1]);
}
