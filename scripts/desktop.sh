#!/bin/bash
# A headless X desktop with a notification area, as one foreground process for
# tests and screenshots.
#
# usage: scripts/desktop.sh [--wm] [--no-tray] [WxHxD]
#   --wm       also start openbox (title bars, real minimize)
#   --no-tray  no tray host (a desktop without a notification area)
#   WxHxD      screen size, default 1280x800x24
#
# Prints "DISPLAY=:N" on standard output once the desktop is ready, then stays
# in the foreground until SIGTERM or SIGINT, and stops its own children (Xvfb,
# trayer, openbox) by process id.
# Needs: xvfb, trayer, x11-utils (xwininfo); optional: openbox, xdotool (input); screenshots:
# imagemagick (import -window root shot.png).
set -u
WM=0; TRAY=1; GEOM=1280x800x24
for a in "$@"; do
  case $a in
    --wm) WM=1 ;;
    --no-tray) TRAY=0 ;;
    *) GEOM=$a ;;
  esac
done
TMP=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait
  rm -rf "$TMP"
  exit "${1:-0}"
}
trap 'cleanup 0' TERM INT

# -displayfd: Xvfb chooses a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 "$GEOM" -nolisten tcp 3>"$TMP/display" 2>"$TMP/xvfb.log" &
PIDS+=($!)
# Waits are long (60 s): the machine may be loaded, and each ends once its state is there.
for _ in $(seq 1200); do [ -s "$TMP/display" ] && break; sleep 0.05; done
if [ ! -s "$TMP/display" ]; then
  echo "Xvfb did not start" >&2
  cat "$TMP/xvfb.log" >&2
  cleanup 1
fi
export DISPLAY=:$(head -n1 "$TMP/display")
# The display accepts clients (its number may have been another server's a
# moment ago, on a machine where several tests run).
for _ in $(seq 1200); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.05; done

if [ $WM = 1 ] && command -v openbox >/dev/null; then
  openbox --sm-disable >/dev/null 2>&1 &
  PIDS+=($!)
fi
if [ $TRAY = 1 ]; then
  trayer --edge top --align right --widthtype pixel --width 160 --heighttype pixel --height 28 \
    --SetDockType true --SetPartialStrut true --transparent false >"$TMP/trayer.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 1200); do
    xwininfo -root -tree 2>/dev/null | grep -q '"panel"' && break
    sleep 0.05
  done
  if ! xwininfo -root -tree 2>/dev/null | grep -q '"panel"'; then
    echo "the tray host did not start" >&2
    cat "$TMP/trayer.log" >&2
    cleanup 1
  fi
fi

echo "DISPLAY=$DISPLAY"
wait "${PIDS[0]}"   # until a signal (runs cleanup) or Xvfb ends
echo "Xvfb exited" >&2
cleanup 1
