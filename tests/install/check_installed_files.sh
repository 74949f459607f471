#!/usr/bin/env bash
# Installs a build tree into a scratch root (DESTDIR, with its own prefix) and
# checks every installed file with the tool its format has: the menu entry,
# the AppStream metadata, the user service, the man pages, the bash completion,
# the user documentation, and the program's own --version and --help.
#
# usage: check_installed_files.sh BUILD_DIR [SOURCE_DIR]
set -euo pipefail
build=$1
src=${2:-$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")}
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=/opt/sorvik-check
DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
p=$root$prefix
# The metadata file is named by the AppStream id.
appstream_id=$(cd "$p/share/metainfo" 2>/dev/null && ls -- *.metainfo.xml 2>/dev/null | head -n1)
appstream_id=${appstream_id%.metainfo.xml}
[ -n "$appstream_id" ] || problem "no AppStream metadata installed"

# ---- the files are where the desktop looks for them
expected=(
  bin/sorvik
  share/applications/sorvik.desktop
  share/icons/hicolor/scalable/apps/sorvik.svg
  share/metainfo/$appstream_id.metainfo.xml
  share/man/man1/sorvik.1.gz
  share/man/man5/sorvik.ini.5.gz
  share/doc/sorvik/README.md
  lib/systemd/user/sorvik-headless.service
  share/bash-completion/completions/sorvik
  share/doc/sorvik/copyright
)
if command -v rsvg-convert >/dev/null; then
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/sorvik.png")
  done
fi
for f in "${expected[@]}"; do
  [ -f "$p/$f" ] || problem "not installed: $prefix/$f"
done
[ -x "$p/bin/sorvik" ] || problem "$prefix/bin/sorvik is not executable"
if command -v file >/dev/null && [ -f "$p/share/icons/hicolor/48x48/apps/sorvik.png" ]; then
  file "$p/share/icons/hicolor/48x48/apps/sorvik.png" | grep -q 'PNG image data, 48 x 48' ||
    problem "the 48x48 icon is not a 48x48 PNG"
fi

# ---- the program runs from the prefix
version=$("$p/bin/sorvik" --version) || problem "installed sorvik --version failed"
[[ $version =~ ^Sorvik\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || problem "--version printed '$version'"
help=$("$p/bin/sorvik" --help) || problem "installed sorvik --help failed"
grep -q '^Usage: sorvik' <<<"$help" || problem "--help has no usage line"

# ---- menu entry
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$p/share/applications/sorvik.desktop" 2>&1) || problem "desktop-file-validate: $out"
  grep -E 'error|warning' <<<"$out" && problem "desktop-file-validate reports: $out"
else
  echo "SKIP: desktop-file-validate is not installed"
fi
grep -qx 'StartupWMClass=Sorvik' "$p/share/applications/sorvik.desktop" || problem "StartupWMClass is not Sorvik"

# ---- AppStream metadata: valid even to the pedantic check, and its release is
# the program's version. The one finding allowed is the information that the id
# may not be reverse-DNS: ".internal" is reserved for private use, so the tool
# does not know it as a top-level domain.
metainfo=$p/share/metainfo/$appstream_id.metainfo.xml
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --pedantic --no-net --no-color "$metainfo" >"$root/as.log" 2>&1 ||
    problem "appstreamcli validate: $(cat "$root/as.log")"
  grep -E '^[EWP]: |^I: ' "$root/as.log" | grep -v "^I: $appstream_id:[0-9]*: cid-maybe-not-rdns $appstream_id\$" &&
    problem "appstreamcli validate --pedantic reports: $(cat "$root/as.log")"
  grep -q "<release version=\"${version#Sorvik }\"" "$p/share/metainfo/$appstream_id.metainfo.xml" ||
    problem "the AppStream release is not ${version#Sorvik }"
else
  echo "SKIP: appstreamcli is not installed"
fi
# Its id is lower case and names no placeholder domain; it launches the menu
# entry that is installed; no address in it is a placeholder (a software
# centre would show a broken screenshot); its licence is the one of the
# copyright file.
[[ $appstream_id =~ ^[a-z0-9]+(\.[a-z0-9_-]+)+$ ]] || problem "the AppStream id '$appstream_id' is not lower-case reverse-DNS"
grep -qiE 'example\.(org|com|net)|\.example\b|org\.example' "$metainfo" "$p/share/applications/sorvik.desktop" &&
  problem "the metadata names a placeholder address"
grep -q '<launchable type="desktop-id">sorvik.desktop</launchable>' "$metainfo" ||
  problem "the AppStream metadata does not launch sorvik.desktop"
copyright_license=$(sed -n 's/^License: //p' "$p/share/doc/sorvik/copyright" | head -n1)
case $copyright_license in
  proprietary) spdx=LicenseRef-proprietary ;;
  *) spdx=$copyright_license ;;
esac
grep -qx "  <project_license>$spdx</project_license>" "$metainfo" ||
  problem "project_license is not $spdx (data/copyright: $copyright_license)"

# ---- user service: runs the installed program window-less; verified against
# the scratch root's program (the unit names it by its final path)
unit=$p/lib/systemd/user/sorvik-headless.service
grep -qx "ExecStart=$prefix/bin/sorvik --headless" "$unit" || problem "ExecStart does not run $prefix/bin/sorvik --headless"
grep -qx 'Restart=on-failure' "$unit" || problem "the service is not restarted on failure only"
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$root/verify"
  sed "s|^ExecStart=$prefix/bin/sorvik|ExecStart=$p/bin/sorvik|" "$unit" >"$root/verify/sorvik-headless.service"
  export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$root/runtime}
  mkdir -p "$XDG_RUNTIME_DIR"
  # Its Documentation= names the man page, looked up by `man`.
  out=$(MANPATH=$p/share/man systemd-analyze --user verify "$root/verify/sorvik-headless.service" 2>&1) || problem "systemd-analyze verify: $out"
  grep -i 'sorvik' <<<"$out" && problem "systemd-analyze verify reports: $out"
else
  echo "SKIP: systemd-analyze is not installed"
fi

# ---- man pages: no warnings from groff, `man sorvik.ini` finds the settings
# reference, sorvik(1) refers to it, and every option of --help is in sorvik(1)
man_text=
if command -v man >/dev/null; then
  for page in man1/sorvik.1.gz man5/sorvik.ini.5.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
               "$p/share/man/$page" 2>&1 >/dev/null) || problem "man failed on $page: $warnings"
    [ -z "$warnings" ] || problem "man page $page warnings: $warnings"
  done
  man_text=$(MANWIDTH=80 man -l "$p/share/man/man1/sorvik.1.gz" 2>/dev/null | col -b)
  [ "$(MANPATH=$p/share/man man -w sorvik.ini 2>/dev/null)" = "$p/share/man/man5/sorvik.ini.5.gz" ] ||
    problem "man sorvik.ini does not find the installed settings reference"
  reference=$(MANWIDTH=80 man -l "$p/share/man/man5/sorvik.ini.5.gz" 2>/dev/null | col -b)
  for section in '[Options]' '[Tunnel:N]' '[Proxybase:N]'; do
    grep -qF -- "$section" <<<"$reference" || problem "sorvik.ini(5) has no $section"
  done
  grep -A3 '^SEE ALSO' <<<"$man_text" | grep -q 'sorvik.ini(5)' || problem "sorvik(1) has no sorvik.ini(5) under SEE ALSO"
  grep -A20 '^FILES' <<<"$man_text" | grep -q 'sorvik.ini(5)' || problem "sorvik(1) does not name sorvik.ini(5) under FILES"
else
  echo "SKIP: man is not installed"
fi

# ---- user documentation: the README as it is in the source tree, where the
# program looks for it (Program -> Homepage, Support: the documentation
# directory relative to its own)
if [ -n "$src" ] && [ -f "$src/README.md" ]; then
  cmp -s "$src/README.md" "$p/share/doc/sorvik/README.md" || problem "the installed README.md differs from $src/README.md"
fi
from_bin=$(sed -n 's/.*kDocDirFromBinDir = "\(.*\)";/\1/p' "$build/src/app/generated/app/version.h")
[ -n "$from_bin" ] && [ -f "$p/bin/$from_bin/README.md" ] ||
  problem "the program looks for its documentation in bin/$from_bin, where no README.md is installed"
[ -f "$p/share/doc/sorvik/ARCHITECTURE.md" ] && problem "the developers' map of the code is installed as user documentation"

# ---- bash completion: completes the options that --help lists, no others (--json after status)
options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u | tr '\n' ' ')
completion=$p/share/bash-completion/completions/sorvik
if [ -f /usr/share/bash-completion/bash_completion ]; then
  completed=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_WORDS=(sorvik --); COMP_CWORD=1; COMP_LINE="sorvik --"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik -- sorvik
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" | sort -u | tr '\n' ' ')
  # --json belongs to status: offered after it only.
  toplevel=$(tr ' ' '\n' <<<"$options" | grep -vx -- '--json' | grep . | tr '\n' ' ')
  [ "$completed" = "$toplevel" ] || problem "bash completes '$completed' but --help lists '$toplevel' besides --json"
  json=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_WORDS=(sorvik status --j); COMP_CWORD=2; COMP_LINE="sorvik status --j"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik --j status
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion")
  [ "$json" = "--json" ] || problem "after status, bash completes '$json' instead of --json"
  dirs=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; cd "$2"; mkdir -p conf.d; touch file.txt
    COMP_WORDS=(sorvik --data-dir c); COMP_CWORD=2; COMP_LINE="sorvik --data-dir c"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik c --data-dir
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$root")
  [ "$dirs" = "conf.d" ] || problem "--data-dir completes '$dirs' instead of the directory conf.d"
  captions=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; mkdir -p "$2/data"
    printf "[Tunnel:0]\r\nTunnelCaption=news\r\n\r\n[Tunnel:1]\r\nTunnelCaption=mail\r\n\r\n" >"$2/data/sorvik.ini"
    COMP_WORDS=(sorvik --data-dir "$2/data" --show-cert n); COMP_CWORD=4
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik n --show-cert
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$root")
  [ "$captions" = "news" ] || problem "--show-cert completes '$captions' instead of the caption news"
  commands=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_WORDS=(sorvik st); COMP_CWORD=1; COMP_LINE="sorvik st"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik st sorvik
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" | sort | tr '\n' ' ')
  [ "$commands" = "start status stop " ] || problem "bash completes the commands as '$commands'"
  stopped=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_WORDS=(sorvik --data-dir "$2/data" stop m); COMP_CWORD=4
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _sorvik sorvik m stop
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$root")
  [ "$stopped" = "mail" ] || problem "stop completes '$stopped' instead of the caption mail"
else
  echo "SKIP: bash-completion is not installed"
fi
if [ -n "$man_text" ]; then
  for o in $options; do
    grep -q -- "$o" <<<"$man_text" || problem "the man page does not describe $o"
  done
fi

[ $fail = 0 ] && echo "installed files: all checks passed"
exit $fail
