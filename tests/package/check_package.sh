#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks what it holds: the
# control fields, the exact file list, and the systemd user unit, which
# systemd-analyze verifies against the package's own program and manual page.
#   check_package.sh CPACK CPACK_CONFIG VERSION
set -euo pipefail
cpack=$1 config=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack did not build the package"; }
deb="$work/out/zelvane-tunnel_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zelvane-tunnel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# Dependencies come from the libraries the programs link, nothing else.
depends=$(field Depends)
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6; do
  [[ ", $depends" == *", $library "* ]] || fail "Depends lacks $library: $depends"
done
[[ "$depends" != *python3* ]] || fail "Depends names python: $depends"

expected="./usr/bin/addCom
./usr/bin/driver/setupc
./usr/bin/zelvane-cloudsim
./usr/bin/zelvane-tunnel
./usr/lib/systemd/user/zelvane-tunnel.service
./usr/share/applications/zelvane-tunnel.desktop
./usr/share/icons/hicolor/scalable/apps/zelvane-tunnel.svg
./usr/share/man/man1/zelvane-tunnel.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "$expected" ] || fail "file list differs:
$(diff <(echo "$expected") <(echo "$files") || true)"
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $2 != "root/root" { bad = 1 } END { exit bad }' ||
  fail "files not owned by root"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for program in zelvane-tunnel addCom driver/setupc zelvane-cloudsim; do
  [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program is not executable"
done
unit="$root/usr/lib/systemd/user/zelvane-tunnel.service"
grep -qx 'ExecStart=/usr/bin/zelvane-tunnel --headless' "$unit" ||
  fail "unexpected ExecStart: $(grep ExecStart "$unit")"
zcat "$root/usr/share/man/man1/zelvane-tunnel.1.gz" | grep -q "Zelvane Tunnel $version" ||
  fail "the manual page does not carry version $version"

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd); the unit was not verified"
  exit 77
fi
# systemd-analyze checks that ExecStart names an executable, so the copy it
# verifies points into the unpacked package; man finds the package's page.
mkdir "$work/units" "$work/runtime"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/zelvane-tunnel.service"
# Unknown keys and bad values are only warnings with a zero exit: any output
# counts as a failure.
report=$(XDG_RUNTIME_DIR="$work/runtime" MANPATH="$root/usr/share/man" \
         systemd-analyze --user verify "$work/units/zelvane-tunnel.service" 2>&1) ||
  fail "systemd-analyze verify: $report"
[ -z "$report" ] || fail "systemd-analyze verify: $report"
echo "$(basename "$deb"): control fields, file list and user unit are sound"
