#!/usr/bin/env bash
# Serial applications through the built program's ports, end to end: a UDP DTU (COM7) and a
# TCP DTU (COM8), both Modbus RTU devices played by modbus_dtus.py, and on each port pymodbus
# at 8E1 (100 write/read round trips), pyserial's modem lines, stty parenb cs7, with and
# without mv5840vsp-run. Runs in a network namespace of its own (the program binds UDP 3700)
# with private runtime and configuration directories. Usage: through-program.sh [build dir]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build-asan}" && pwd)
if [ "${MV_IN_NAMESPACE:-}" != 1 ]; then
    exec env MV_IN_NAMESPACE=1 unshare -n "$0" "$build"
fi
ip link set lo up
apps=$here/serial_apps.py
run=$build/preload/mv5840vsp-run
XDG_RUNTIME_DIR=$(mktemp -d) XDG_CONFIG_HOME=$(mktemp -d)
export XDG_RUNTIME_DIR XDG_CONFIG_HOME QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
trap 'kill $program $dtus 2>/dev/null; rm -rf "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"' EXIT
mkdir -p "$XDG_CONFIG_HOME/Torvane"
printf '[1]\nPortNumber=7\nCode=A1\n\n[2]\nPortNumber=8\nUseTcp=1\nUseFixedIP=1\nPeerIP=127.0.0.1\nCode=T1\n' \
    > "$XDG_CONFIG_HOME/Torvane/HOLBRN.conf"
/usr/bin/python3 "$here/modbus_dtus.py" 600 & dtus=$!
sleep 0.5
"$build/app/MV5840VSP" 2>/dev/null & program=$!
ports=$XDG_RUNTIME_DIR/MV5840VSP
for _ in $(seq 100); do [ -L "$ports/COM7" ] && [ -L "$ports/COM8" ] && break; sleep 0.1; done
sleep 6  # the UDP DTU logs in every 5 s

failed=0
check() {  # description, expected status (0 or "fail"), command...
    local what=$1 want=$2; shift 2
    local out status
    out=$("$@" 2>&1); status=$?
    if { [ "$want" = 0 ] && [ $status -eq 0 ]; } || { [ "$want" = fail ] && [ $status -ne 0 ]; }; then
        echo "ok    $what"
    else
        echo "FAIL  $what: $(echo "$out" | tail -1)"; failed=1
    fi
}
for port in COM7 COM8; do
    p=$ports/$port
    for app in modbus_8e1 modem_lines other_pty; do
        check "$port $app with the launcher" 0 "$run" /usr/bin/python3 "$apps" $app "$p"
        check "$port $app without it fails as before" fail /usr/bin/python3 "$apps" $app "$p"
    done
    check "$port stty parenb cs7 with the launcher" 0 "$run" stty -F "$p" parenb cs7
    check "$port stty parenb cs7 without it fails as before" fail stty -F "$p" parenb cs7
done
kill $program; wait $program; status=$?
[ $status -eq 0 ] || { echo "FAIL  the program ended with $status"; failed=1; }
exit $failed
