#!/usr/bin/env bash
# scripts/check-layers: the tree passes; a tree with a forbidden include or a
# cycle between folders fails, naming it.
set -euo pipefail
src=$1
py=$(command -v /usr/bin/python3 || command -v python3)
check() { "$py" "$src/scripts/check-layers" "$1" 2>&1; }
check "$src" >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree() {  # tree NAME file:include ... (an empty include makes a file without includes)
    local root=$tmp/$1; shift
    for pair in "$@"; do
        mkdir -p "$root/$(dirname "${pair%%:*}")"
        [ -n "${pair#*:}" ] && echo "#include \"${pair#*:}\"" >>"$root/${pair%%:*}" || touch "$root/${pair%%:*}"
    done
    echo "$root"
}
expect_failure() {  # expect_failure ROOT TEXT
    local out
    if out=$(check "$1"); then echo "passed, should fail: $1"; exit 1; fi
    grep -qF "$2" <<<"$out" || { echo "no \"$2\" in:"; echo "$out"; exit 1; }
}

expect_failure "$(tree ground core/a.h:media/b.h media/b.h:)" "forbidden: core/ includes media/"
expect_failure "$(tree media media/a.h:core/limits.h core/limits.h: media/b.cpp:transport/c.h transport/c.h:)" \
    "forbidden: media/ includes transport/"
expect_failure "$(tree sim sim/a.cpp:core/device.h core/device.h:)" "forbidden: sim/ includes core/"
expect_failure "$(tree cycle tests/a.h:bench/b.h bench/b.h:tests/a.h)" "cycle: bench -> tests -> bench"
echo "check-layers: 4 bad trees refused, the source tree passes"
