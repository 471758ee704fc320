#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands where: the program, the
# tool, the menu entry, the icons, the interface descriptions, the D-Bus activation file and
# the systemd user unit, with the installed program's path written into the last three.
# Arguments: the build directory. Runs under a session bus of its own.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }
# Output goes through a here-string, not a pipe: grep -q ends at its match, and under pipefail
# the writer's SIGPIPE would fail the check.

cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/MV5840VSP
bin/mv5840vsp-run
bin/mv5840vspctl
lib/mv5840vsp/libmv5840vsp-compat.so
lib/systemd/user/mv5840vsp.service
share/applications/MV5840VSP.desktop
share/bash-completion/completions/mv5840vspctl
share/dbus-1/interfaces/MV5840VSP.IMV5840VSP.xml
share/dbus-1/interfaces/MV5840VSP.IPortManager.xml
share/dbus-1/services/MV5840VSP.IMV5840VSP.service
share/doc/mv5840vsp/README.md.gz
share/doc/mv5840vsp/changelog.Debian.gz
share/doc/mv5840vsp/copyright
share/doc/mv5840vsp/examples/HOLBRN.conf
share/icons/hicolor/128x128/apps/mv5840vsp.png
share/icons/hicolor/16x16/apps/mv5840vsp.png
share/icons/hicolor/256x256/apps/mv5840vsp.png
share/icons/hicolor/32x32/apps/mv5840vsp.png
share/icons/hicolor/48x48/apps/mv5840vsp.png
share/icons/hicolor/64x64/apps/mv5840vsp.png
share/man/man1/MV5840VSP.1.gz
share/man/man1/mv5840vsp-run.1.gz
share/man/man1/mv5840vspctl.1.gz
share/man/man5/HOLBRN.conf.5.gz
share/metainfo/example.torvane.MV5840VSP.metainfo.xml"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"

for program in MV5840VSP mv5840vspctl; do
  [ -x "$prefix/bin/$program" ] || fail "$program is not executable"
done

unit=$prefix/lib/systemd/user/mv5840vsp.service
grep -qx "ExecStart=$prefix/bin/MV5840VSP --service" "$unit" || fail "unit's ExecStart: $(grep ExecStart "$unit")"
grep -qx "Restart=on-failure" "$unit" || fail "unit is not restarted on failure"
grep -qx "Type=notify" "$unit" || fail "unit does not wait for the service to be ready"
grep -q "^WatchdogSec=[1-9]" "$unit" || fail "unit has no watchdog"
grep -qx "RestartPreventExitStatus=150" "$unit" || fail "a second instance's status restarts the unit"
grep -qx "WantedBy=default.target" "$unit" || fail "unit cannot be enabled for the user's session"
if command -v systemd-analyze >/dev/null; then
  # Needs no running systemd; it checks the unit's syntax and its ExecStart.
  out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $out"
fi

grep -qx "Exec=$prefix/bin/MV5840VSP -Embedding" "$prefix/share/dbus-1/services/MV5840VSP.IMV5840VSP.service" \
  || fail "activation file's Exec"
grep -qx "Name=MV5840VSP.IMV5840VSP" "$prefix/share/dbus-1/services/MV5840VSP.IMV5840VSP.service" \
  || fail "activation file's Name"
grep -qx "SystemdService=mv5840vsp.service" "$prefix/share/dbus-1/services/MV5840VSP.IMV5840VSP.service" \
  || fail "activation file does not start the unit"
desktop=$prefix/share/applications/MV5840VSP.desktop
grep -qx "Exec=$prefix/bin/MV5840VSP" "$desktop" || fail "menu entry's Exec"
grep -qx "Icon=mv5840vsp" "$desktop" || fail "menu entry's icon"
grep -qx "Name=MV5840 Virtual Serial Ports" "$desktop" || fail "menu entry's English name"
grep -qx "Name\[zh_CN\]=MV5840 虚拟串口管理" "$desktop" || fail "menu entry's Chinese name"
for key in Comment GenericName Keywords; do
  grep -q "^$key=." "$desktop" || fail "menu entry has no $key"
done
if command -v appstreamcli >/dev/null; then
  out=$(appstreamcli validate --no-net "$prefix/share/metainfo/example.torvane.MV5840VSP.metainfo.xml" 2>&1) \
    || fail "appstreamcli validate: $out"
fi

# The manual pages render without a warning, and name the build's version.
version=$("$prefix/bin/MV5840VSP" --version | cut -d' ' -f2)
for page in man1/MV5840VSP.1 man1/mv5840vspctl.1 man1/mv5840vsp-run.1 man5/HOLBRN.conf.5; do
  file=$prefix/share/man/$page.gz
  out=$(zcat "$file" | groff -man -ww -z 2>&1) || fail "$page(1) does not render: $out"
  [ -z "$out" ] || fail "$page(1) renders with warnings: $out"
  grep -q "MV5840VSP $version" <<<"$(zcat "$file")" || fail "$page(1) does not carry version $version"
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null) || true
  [ -z "$out" ] || fail "man $page: $out"
done

# Completion: the commands, a command's options, and (with no instance running) no ports.
completion=$prefix/share/bash-completion/completions/mv5840vspctl
complete_words() {
  PATH="$prefix/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
    _mv5840vspctl; printf "%s\n" "${COMPREPLY[@]}"' complete "$completion" "$@"
}
[ "$(complete_words mv5840vspctl li)" = list ] || fail "completion of li: $(complete_words mv5840vspctl li)"
[ "$(complete_words mv5840vspctl remove --f)" = --force ] || fail "completion of remove --f"
grep -qx -- --frame-gap <<<"$(complete_words mv5840vspctl add --)" || fail "completion of add's options"
[ -z "$(complete_words mv5840vspctl show --number '')" ] || fail "ports completed with no instance running"

# The example configuration is what the program reads: its two ports, the file unchanged.
example=$prefix/share/doc/mv5840vsp/examples/HOLBRN.conf
mkdir -p "$work/config/Torvane" "$work/runtime"
chmod 700 "$work/runtime"
cp "$example" "$work/config/Torvane/HOLBRN.conf"
chmod 600 "$work/config/Torvane/HOLBRN.conf"
XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime "$prefix/bin/MV5840VSP" --service 2>"$work/example.log" &
service=$!
listed=
for _ in $(seq 100); do
  listed=$(XDG_RUNTIME_DIR=$work/runtime "$prefix/bin/mv5840vspctl" list --plain 2>/dev/null) && break
  sleep 0.1
done
kill "$service"; wait "$service" || true
[ "$listed" = $'7 A1\n8 B2' ] || fail "the example's ports: $listed $(cat "$work/example.log")"
grep -q "line .* is not a setting" "$work/example.log" && fail "the example has a line that is no setting"
cmp -s "$example" "$work/config/Torvane/HOLBRN.conf" || fail "the example was changed by a run"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "menu entry is not valid"
fi
for xml in "$prefix"/share/dbus-1/interfaces/*.xml; do
  python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$xml" || fail "$xml is not XML"
done
grep -q 'interface name="MV5840VSP.IPortManager"' "$prefix/share/dbus-1/interfaces/MV5840VSP.IPortManager.xml" \
  || fail "port manager description"

# The installed tool runs from there and finds no instance on this bus.
grep -q "^Usage: mv5840vspctl" <<<"$("$prefix/bin/mv5840vspctl" --help)" || fail "installed tool's --help"
status=0
message=$(ASAN_OPTIONS=detect_leaks=0 "$prefix/bin/mv5840vspctl" list 2>&1 >/dev/null) || status=$?
[ "$status" -eq 3 ] || fail "installed tool without an instance: status $status"
case "$message" in
  *"MV5840VSP --service"*"systemctl --user start mv5840vsp"*) ;;
  *) fail "installed tool without an instance says: $message" ;;
esac

# A prefix that cannot be written into those files unquoted is refused, not half installed.
if cmake --install "$build" --prefix "$work/with blank" >/dev/null 2>"$work/err"; then
  fail "a prefix with a blank was accepted"
fi
grep -q "no blanks or quotes allowed" "$work/err" || fail "prefix with a blank: $(cat "$work/err")"
echo "install_test: $(echo "$expected" | wc -l) files in place"
