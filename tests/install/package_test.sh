#!/usr/bin/env bash
# Builds the Debian package from this build with CPack in a temporary folder and checks its
# file list and its dependencies.
# Arguments: the build directory.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/log" 2>&1) \
  || fail "cpack failed: $(tail -20 "$work/log")"
deb=$(ls "$work"/out/mv5840vsp_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no package written: $(ls "$work/out")"

expected="./usr/bin/MV5840VSP
./usr/bin/mv5840vsp-run
./usr/bin/mv5840vspctl
./usr/lib/mv5840vsp/libmv5840vsp-compat.so
./usr/lib/systemd/user/mv5840vsp.service
./usr/share/applications/MV5840VSP.desktop
./usr/share/bash-completion/completions/mv5840vspctl
./usr/share/dbus-1/interfaces/MV5840VSP.IMV5840VSP.xml
./usr/share/dbus-1/interfaces/MV5840VSP.IPortManager.xml
./usr/share/dbus-1/services/MV5840VSP.IMV5840VSP.service
./usr/share/doc/mv5840vsp/README.md.gz
./usr/share/doc/mv5840vsp/changelog.Debian.gz
./usr/share/doc/mv5840vsp/copyright
./usr/share/doc/mv5840vsp/examples/HOLBRN.conf
./usr/share/icons/hicolor/128x128/apps/mv5840vsp.png
./usr/share/icons/hicolor/16x16/apps/mv5840vsp.png
./usr/share/icons/hicolor/256x256/apps/mv5840vsp.png
./usr/share/icons/hicolor/32x32/apps/mv5840vsp.png
./usr/share/icons/hicolor/48x48/apps/mv5840vsp.png
./usr/share/icons/hicolor/64x64/apps/mv5840vsp.png
./usr/share/man/man1/MV5840VSP.1.gz
./usr/share/man/man1/mv5840vsp-run.1.gz
./usr/share/man/man1/mv5840vspctl.1.gz
./usr/share/man/man5/HOLBRN.conf.5.gz
./usr/share/metainfo/example.torvane.MV5840VSP.metainfo.xml"
# The compatibility library's folder follows the build's libdir (lib/<triplet> for /usr).
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/lib/[a-z0-9_]*-linux-gnu[a-z0-9_]*/mv5840vsp/|./usr/lib/mv5840vsp/|' \
         | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "package files differ:
$(diff <(echo "$expected") <(echo "$actual"))"

# The installed files name /usr/bin/MV5840VSP.
dpkg-deb -x "$deb" "$work/root"
grep -qx "ExecStart=/usr/bin/MV5840VSP --service" "$work/root/usr/lib/systemd/user/mv5840vsp.service" \
  || fail "unit's ExecStart in the package"
grep -qx "Exec=/usr/bin/MV5840VSP -Embedding" "$work/root/usr/share/dbus-1/services/MV5840VSP.IMV5840VSP.service" \
  || fail "activation file's Exec in the package"
grep -qx "SystemdService=mv5840vsp.service" "$work/root/usr/share/dbus-1/services/MV5840VSP.IMV5840VSP.service" \
  || fail "activation file does not start the unit"

depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libc6 libstdc++6 fonts-wqy-microhei \
               "default-dbus-session-bus | dbus-session-bus"; do
  case ", $depends," in
    *", $package"[\ ,]*) ;;
    *) fail "Depends lacks $package: $depends" ;;
  esac
done
case ", $(dpkg-deb -f "$deb" Recommends)," in
  *", bash-completion,"*) ;;
  *) fail "Recommends lacks bash-completion: $(dpkg-deb -f "$deb" Recommends)" ;;
esac
[ "$(dpkg-deb -f "$deb" Package)" = mv5840vsp ] || fail "package name"
case "$(dpkg-deb -f "$deb" Maintainer)" in
  *@localhost*|"") fail "maintainer: $(dpkg-deb -f "$deb" Maintainer)" ;;
esac
dpkg-deb -f "$deb" Description | awk 'length > 79 { bad = 1 } END { exit bad }' || fail "description lines longer than 79"
[ "$(zcat "$work/root/usr/share/doc/mv5840vsp/changelog.Debian.gz" | head -1 | sed 's/.*(\(.*\)).*/\1/')" \
  = "$(dpkg-deb -f "$deb" Version)" ] || fail "changelog's version is not the package's"

# Debian's own checks: no error and no warning. The hardening tags are informational here,
# as this is the test build; scripts/package.sh builds with dpkg-buildflags.
# A test build installs below /usr/local, where the library folder is lib/ rather than the
# package's lib/<triplet>/, and CPack answers a library below lib/ with ldconfig calls.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning --suppress-tags maintscript-calls-ldconfig "$deb" >"$work/lintian" 2>&1 \
    || fail "lintian: $(grep -v 'root privileges' "$work/lintian")"
fi
echo "package_test: $(basename "$deb"), Depends: $depends"
