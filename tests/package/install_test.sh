#!/usr/bin/env bash
# The Debian packages as a user meets them: installed with dpkg into a fresh
# root, a small C host compiled against the installed header found through
# pkg-config (and a CMake host through find_package), the installed module
# started and stopped beside the installed card simulator in a private
# network lab, an edited INI kept across a reinstall, and after removal only
# the INI and the log left (nothing after a purge).
#   tests/package/install_test.sh DEB_FOLDER
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
debs=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: installing into a root and the lab need root"; exit 0; fi
runtime=$(ls "$debs"/vaxo-dt-qpl_*.deb)
dev=$(ls "$debs"/vaxo-dt-qpl-dev_*_all.deb)
work=$(mktemp -d); lab="vxpkg$$"; root="$work/root"
cleanup() {
  [ -n "${sim:-}" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null || true
  "$src/scripts/lab" down "$lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The packages' dependencies must be packages this system has, in versions
# that satisfy them (the fresh root has none, so dpkg is told to go on).
for deb in "$runtime" "$dev"; do
  deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n')
  while read -r name op ver; do
    [ -n "$name" ] || continue
    [ "$name" = vaxo-dt-qpl ] && continue
    have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || fail "$(basename "$deb") needs $name, unknown here"
    [ -z "$op" ] || dpkg --compare-versions "$have" "${op#(}" "${ver%)}" ||
      fail "$(basename "$deb") needs $name $op $ver, this system has $have"
  done <<<"$deps"
done

# Maintainer scripts run outside the root and find it in DPKG_ROOT.
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
in_root() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" </dev/null; }
in_root -i "$runtime" "$dev" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
dir="$root/opt/vaxo-dt-qpl"
for f in "$dir/vaxo-dt-qpl.dev" "$dir/vaxo-dt-qpl.ini" "$root/usr/bin/vaxo-ivr-host" "$root/usr/bin/vaxo-diag" \
  "$root/usr/bin/hdlc2pcap" "$root/usr/bin/vaxo-cardsim"; do
  [ -f "$f" ] || fail "${f#"$root"} not installed"
done

# An edited INI survives a reinstall; trace level 0 puts Init's own lines
# in the log, which shows that the module read the INI beside itself.
sed -i 's/^;Level=2$/Level=0/' "$dir/vaxo-dt-qpl.ini"
in_root -i "$runtime" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "reinstall"; }
grep -q '^Level=0$' "$dir/vaxo-dt-qpl.ini" || fail "the reinstall overwrote the edited INI"

# Host programs against the installed header only.
export PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/share/pkgconfig"
module=$(pkg-config --variable=module vaxo-dt-qpl)
module="$root${module#"$root"}"  # pkgconf puts the root in front, pkg-config does not
# shellcheck disable=SC2046
cc -std=c99 -D_GNU_SOURCE -Wall -Wextra -Werror $(pkg-config --cflags vaxo-dt-qpl) "$src/tests/package/host_init.c" \
  -o "$work/host_init" $(pkg-config --libs vaxo-dt-qpl)
cmake -S "$src/tests/package" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$root/usr" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "find_package"; }
cmake --build "$work/cmake-host" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "CMake host build"; }
"$work/cmake-host/host_init" | grep -q "module /opt/vaxo-dt-qpl/vaxo-dt-qpl.dev$" || fail "CMake config names no module"

# Init and Shutdown with the installed module and simulator, in the lab.
"$src/scripts/lab" up "$lab" 1
"$src/scripts/lab" card "$lab" 0 "$root/usr/bin/vaxo-cardsim" --card serial=4711,trunks=1 --duration 60s \
  >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do  # up to 10 s for the simulator's discovery socket
  ip netns exec "$lab-c0" ss -lun 2>/dev/null | grep -q ':5854 ' && break
  sleep 0.1
done
timeout 60 "$src/scripts/lab" host "$lab" "$work/host_init" "$module" 30 || { cat "$work/sim.log"; fail "host_init"; }
grep -q "Enter Init()" "$dir/vaxo-dt-qpl.log" || fail "no log beside the module"

left() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | LC_ALL=C sort | tr '\n' ' '); }
in_root -r vaxo-dt-qpl-dev vaxo-dt-qpl >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
want=". ./opt ./opt/vaxo-dt-qpl ./opt/vaxo-dt-qpl/vaxo-dt-qpl.ini ./opt/vaxo-dt-qpl/vaxo-dt-qpl.log ./var ./var/lib "
[ "$(left)" = "$want" ] || fail "after removal: $(left)"
in_root -P vaxo-dt-qpl >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P"; }
want=". ./var ./var/lib "
[ "$(left)" = "$want" ] || fail "after purge: $(left)"
echo "package install test passed"
