#!/usr/bin/env bash
# The real console on a bare X server, which has no system tray (as GNOME's default desktop):
# its window must show at start, stay after "Hide" (minimised, not withdrawn), and "Exit" in its
# File menu must end the program with code 0.
# Usage: no_tray_xvfb.sh PATH_TO_USBVantrelServer PATH_TO_usbvantrel-reg
set -euo pipefail
server=$1
reg=$2
for tool in Xvfb xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not installed"; exit 77; }
done
work=$(mktemp -d)
xvfb_pid=""
console_pid=""
cleanup() {
  [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

mkdir -p "$work/root/Windows/System32/drivers/etc"
# A computer of its own loopback address, so its event port never meets another test's.
printf '127.0.0.171  NOTRAY\n' > "$work/root/Windows/System32/drivers/etc/hosts"
USBVANTREL_ROOT="$work/root" "$reg" add \
  'HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName' /v ComputerName /d NOTRAY /f >/dev/null
USBVANTREL_ROOT="$work/root" USBVANTREL_MSGBOX=stderr QT_QPA_PLATFORM=xcb \
  "$server" >"$work/console.log" 2>&1 &
console_pid=$!

window=""
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --name '^USB Vantrel! Server$' 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
if [ -z "$window" ]; then
  echo "FAIL: no visible console window at start"; cat "$work/console.log"; exit 1
fi
xwininfo -id "$window" | grep -q "Map State: IsViewable" || { echo "FAIL: window not viewable"; exit 1; }
echo "window $window shows at start"

# "Hide" (Ctrl+H): without a tray the window is minimised, and the program keeps running.
xdotool windowfocus --sync "$window" key ctrl+h
sleep 0.5
kill -0 "$console_pid" || { echo "FAIL: console ended on Hide"; exit 1; }
xdotool search --name '^USB Vantrel! Server$' | grep -qx "$window" || { echo "FAIL: window gone after Hide"; exit 1; }

# File > Exit ends the program.
xdotool windowmap --sync "$window" windowfocus --sync "$window" key alt+f
sleep 0.3
xdotool key Up Return
for _ in $(seq 100); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$console_pid" 2>/dev/null; then
  echo "FAIL: File > Exit did not end the console"; cat "$work/console.log"; exit 1
fi
set +e
wait "$console_pid"
code=$?
set -e
console_pid=""
[ "$code" -eq 0 ] || { echo "FAIL: exit code $code"; cat "$work/console.log"; exit 1; }
echo "PASS: shown without a tray, kept on Hide, ended by File > Exit"
