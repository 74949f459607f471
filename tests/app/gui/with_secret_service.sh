#!/usr/bin/env bash
# Runs a program (with its arguments) inside a private D-Bus session that has
# its own GNOME Keyring as Secret Service, unlocked, with a keyring in a
# throw-away home: nothing of the user's own keyring is touched.
# Without dbus-run-session or gnome-keyring-daemon the program runs with
# SORVIK_NO_SECRET_SERVICE=1 set, and its tests skip.
set -u
if ! command -v dbus-run-session >/dev/null || ! command -v gnome-keyring-daemon >/dev/null; then
  SORVIK_NO_SECRET_SERVICE=1 exec "$@"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" XDG_DATA_HOME="$tmp/home/.local/share"
export XDG_CONFIG_HOME="$tmp/home/.config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
dbus-run-session -- bash -c '
  printf "sorvik-test" | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
  keyring=$!
  # Wait (bounded: 30 s, for a loaded machine) until the keyring owns the Secret Service name.
  for _ in $(seq 1 300); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
    kill -0 "$keyring" 2>/dev/null || break
    sleep 0.1
  done
  "$@"
  status=$?
  kill "$keyring" 2>/dev/null
  wait "$keyring" 2>/dev/null
  exit $status
' bash "$@" 2> >(grep -v "Failed to set fd limit" >&2)
