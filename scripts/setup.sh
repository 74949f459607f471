#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Sorvik needs.
# Calls apt-get only when something is missing; uses sudo when not root.
set -euo pipefail

PACKAGES=(
  # build
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config
  qt6-base-dev libssl-dev openssl libgtest-dev libgmock-dev
  # international host names (A-labels)
  libidn2-dev
  # proxy passwords in the desktop's secret store
  qtkeychain-qt6-dev
  # real peers the tests start on loopback
  dante-server microsocks tinyproxy stunnel4 openssh-server openssh-client
  socat haproxy python3
  # a hosts file of the test's own for names the system does not know
  libnss-wrapper
  # desktop tests: virtual X server, tray host, screenshots
  xvfb xauth trayer x11-utils imagemagick xdotool openbox
  # a real Secret Service for the secret-store test (in a private D-Bus session)
  gnome-keyring dbus
  # installing and packaging: icon rendering, Debian package tools, checks of
  # the installed files, the Wayland platform plugin, a headless compositor
  librsvg2-bin dpkg-dev file lintian desktop-file-utils appstream systemd man-db groff-base
  bash-completion qt6-wayland weston
  # a StatusNotifierItem tray host on a private session bus for the Wayland test
  python3-dbus python3-gi
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
