#!/usr/bin/env bash
# The program's tray icon on an X tray host (trayer, the XEmbed protocol) while the main window
# shows: hovering shows the tooltip, a right-click opens the menu. Both are windows of the
# program that appear over the icon. The same while a dialog of the window is open; the
# menu's exit item then ends the program. Starts an X server of its own (on a display it
# finds free itself, so tests of other sessions on this machine cannot take it between a
# look and a start). Run in a network namespace, under dbus-run-session:
# tray_host_test.sh PROGRAM
set -u
program=$1
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb
mkdir -m 700 "$XDG_RUNTIME_DIR"
status=0
cleanup() {
  [ -n "${app:-}" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
  [ -n "${host:-}" ] && kill "$host" 2>/dev/null
  [ -n "${xserver:-}" ] && kill "$xserver" 2>/dev/null && wait "$xserver" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xerr" &
xserver=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xerr" >&2; echo "FAIL: no X server" >&2; exit 1; }
export DISPLAY=:$(head -1 "$work/display")

fail() { echo "FAIL: $*" >&2; status=1; }
# The program's visible top-level windows and the icon, one id a line.
shown() { xdotool search --onlyvisible --class MV5840VSP 2>/dev/null | sort; }
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -ge $end ] && return 1; sleep 0.2; done
}

trayer --edge top --align left --widthtype pixel --width 100 --heighttype pixel --height 30 &
host=$!
wait_for 10 xdotool search --class trayer >/dev/null || { echo "FAIL: no tray host" >&2; exit 1; }
"$program" 2>"$work/err" &
app=$!
window_and_icon() { [ "$(shown | wc -l)" -ge 2 ]; }
wait_for 20 window_and_icon || { cat "$work/err" >&2; echo "FAIL: no window and icon" >&2; exit 1; }
xdotool search --onlyvisible --name 'MV5840 虚拟串口管理' >/dev/null || fail "the main window does not show"
before=$(shown)
more_than_before() { [ -n "$(comm -13 <(echo "$before") <(shown))" ]; }

# The icon lies at the panel's top left corner.
xdotool mousemove 8 12 sleep 0.3 mousemove 10 12
wait_for 5 more_than_before || fail "hovering the icon shows no tooltip while the window shows"
xdotool mousemove 500 700 sleep 1
before=$(shown)
xdotool mousemove 10 12 sleep 0.2 click 3
wait_for 5 more_than_before || fail "right-clicking the icon opens no menu while the window shows"
xdotool key Escape
sleep 0.5

# A dialog of the window is modal to the window alone: the icon still answers.
main=$(xdotool search --onlyvisible --name 'MV5840 虚拟串口管理' | head -1)
xdotool windowfocus --sync "$main" key alt+a
add_dialog() { xdotool search --onlyvisible --name '^增加$' >/dev/null; }
wait_for 5 add_dialog || fail "Alt+A opens no add dialog"
before=$(shown)
xdotool mousemove 10 12 sleep 0.2 click 3
wait_for 5 more_than_before || fail "right-clicking the icon opens no menu while the add dialog shows"

# Its exit item ends the program as the window's exit button does (no port is held open),
# also while the dialog is open.
xdotool key x
ended() { ! kill -0 "$app" 2>/dev/null; }
if wait_for 20 ended; then
  wait "$app"; code=$?; app=
  [ $code -eq 0 ] || fail "the menu's exit ended the program with status $code"
else
  fail "the menu's exit did not end the program"
fi
exit $status
