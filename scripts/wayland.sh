#!/bin/bash
# Shows Sorvik's window under Weston's headless Wayland backend (no X server,
# no GPU) and reports what the Wayland compositor received from it: the
# toplevel's title and app id (which names the desktop entry), and the first
# frame. Optionally saves a screenshot of the compositor's output.
#
# With --tray, a private session bus carries a StatusNotifierItem host
# (scripts/sni-watcher.py) and Sorvik starts as the login entry starts it
# (--login, "StartToTray" on): its tray icon must register with the host while
# no window appears, and activating the icon (a left click) must show the window.
#
# usage: scripts/wayland.sh [--tray] [--shot FILE.png] SORVIK_EXECUTABLE [ARGS...]
# Exit status 0 when all of that was seen and the program ended with status 0
# at SIGTERM.
# Needs: weston (headless backend), Qt's Wayland platform plugin (qt6-wayland);
# with --tray also dbus-daemon, dbus-send, python3-dbus and python3-gi.
set -u
SHOT=
TRAY=0
while [ $# -gt 0 ]; do
  case $1 in
    --shot) SHOT=$2; shift 2 ;;
    --tray) TRAY=1; shift ;;
    *) break ;;
  esac
done
PROGRAM=${1:?usage: scripts/wayland.sh [--tray] [--shot FILE.png] SORVIK_EXECUTABLE [ARGS...]}
shift
HERE=$(cd "$(dirname "$0")" && pwd)
tools=(weston)
[ $TRAY = 1 ] && tools+=(dbus-daemon dbus-send /usr/bin/python3)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
if [ $TRAY = 1 ] && ! /usr/bin/python3 -c 'import dbus, gi' 2>/dev/null; then
  echo "SKIP: python3-dbus or python3-gi is not installed"; exit 0
fi

TMP=$(mktemp -d)
chmod 700 "$TMP"
WESTON=
SORVIK=
BUS=
WATCHER=
cleanup() {
  [ -n "$SORVIK" ] && kill "$SORVIK" 2>/dev/null
  [ -n "$WATCHER" ] && kill "$WATCHER" 2>/dev/null
  [ -n "$BUS" ] && kill "$BUS" 2>/dev/null
  [ -n "$WESTON" ] && kill "$WESTON" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; echo "--- weston:" >&2; cat "$TMP/weston.log" >&2; exit 1; }
wait_for() {  # wait_for TENTHS COMMAND...: until COMMAND succeeds
  local n=$1; shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

export XDG_RUNTIME_DIR=$TMP
mkdir -p "$TMP/data" "$TMP/config"
# --debug lets weston-screenshooter take the picture.
weston --backend=headless-backend.so --use-pixman --socket=sorvik-wayland --width=1024 --height=700 \
  --idle-time=0 --debug >"$TMP/weston.log" 2>&1 &
WESTON=$!
wait_for 200 test -S "$TMP/sorvik-wayland" || fail "weston did not start"

login=()
if [ $TRAY = 1 ]; then
  dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$TMP/bus" >/dev/null 2>&1 &
  BUS=$!
  wait_for 200 test -s "$TMP/bus" || fail "dbus-daemon did not start"
  export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$TMP/bus")
  /usr/bin/python3 "$HERE/sni-watcher.py" >"$TMP/sni.out" 2>"$TMP/sni.err" &
  WATCHER=$!
  wait_for 200 grep -q READY "$TMP/sni.out" || fail "the StatusNotifierItem host did not start: $(cat "$TMP/sni.err")"
  printf '[Options]\r\nStartToTray=1\r\n\r\n' >"$TMP/data/sorvik.ini"
  login=(--login)
fi

# No X display: Qt must take the Wayland plugin. The client's protocol log
# (WAYLAND_DEBUG) shows what the compositor receives.
env -u DISPLAY WAYLAND_DISPLAY=sorvik-wayland QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client \
  XDG_CONFIG_HOME="$TMP/config" ASAN_OPTIONS=detect_leaks=0 \
  "$PROGRAM" --data-dir "$TMP/data" "${login[@]}" "$@" >"$TMP/sorvik.out" 2>"$TMP/sorvik.err" &
SORVIK=$!
if [ $TRAY = 1 ]; then
  # The host has read the item's properties, which Sorvik's event loop answers:
  # the start, window decision included, is over.
  wait_for 300 grep -q '^ITEM ' "$TMP/sni.out" ||
    { tail -n 30 "$TMP/sorvik.err" >&2; fail "no tray icon registered with the StatusNotifierItem host"; }
  item=$(grep -m1 '^ITEM ' "$TMP/sni.out")
  echo "wayland: tray icon registered over D-Bus: ${item#ITEM }"
  grep -q 'set_app_id' "$TMP/sorvik.err" && fail "the login start with StartToTray showed the window"
  echo "wayland: started with --login and StartToTray: no window, only the tray icon"
  read -r _ name path _ <<<"$item"
  dbus-send --session --type=method_call --dest="$name" "$path" org.kde.StatusNotifierItem.Activate \
    int32:0 int32:0 || fail "Activate on the tray icon failed"
fi
shown() {
  grep -qE 'xdg_toplevel@[0-9]+\.set_app_id\("sorvik"\)' "$TMP/sorvik.err" &&
    grep -qE 'wl_surface@[0-9]+\.attach\(wl_buffer@[0-9]+' "$TMP/sorvik.err" &&
    grep -qE 'xdg_surface@[0-9]+\.ack_configure' "$TMP/sorvik.err"
}
wait_for 300 shown || { kill -0 $SORVIK 2>/dev/null || echo "sorvik ended early" >&2
                        tail -n 30 "$TMP/sorvik.err" >&2; fail "no window reached the compositor"; }
title=$(grep -oE 'xdg_toplevel@[0-9]+\.set_title\("[^"]*"\)' "$TMP/sorvik.err" | head -n1 | sed 's/.*set_title("\(.*\)")/\1/')
echo "wayland: toplevel \"$title\", app id \"sorvik\", first frame attached and committed"

# The compositor has shown a frame of the window: a frame callback that the
# window asked for has come back done.
frame_shown() {
  awk '/wl_surface@[0-9]+\.frame\(new id wl_callback@[0-9]+\)/ { match($0, /wl_callback@[0-9]+/); asked[substr($0, RSTART, RLENGTH)] = 1 }
       /wl_callback@[0-9]+\.done\(/ { match($0, /wl_callback@[0-9]+/); if (substr($0, RSTART, RLENGTH) in asked) shown = 1 }
       END { exit !shown }' "$TMP/sorvik.err"
}
if [ -n "$SHOT" ] && command -v weston-screenshooter >/dev/null; then
  wait_for 300 frame_shown || echo "wayland: no frame shown yet; the picture may be empty"
  (cd "$TMP" && WAYLAND_DISPLAY=sorvik-wayland weston-screenshooter >/dev/null 2>&1)
  png=$(ls "$TMP"/wayland-screenshot-*.png 2>/dev/null | head -n1)
  if [ -n "$png" ]; then cp "$png" "$SHOT" && echo "wayland: screenshot $SHOT"; else echo "wayland: no screenshot taken"; fi
fi

kill -TERM $SORVIK
wait $SORVIK
status=$?
SORVIK=
[ $status = 0 ] || fail "sorvik ended with status $status at SIGTERM"
echo "wayland: sorvik ended with status 0 at SIGTERM"
