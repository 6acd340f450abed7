#!/bin/sh
# A wiiuse installed under a prefix is what hitcheck and hitview link against when asked
# for the system's; without one, asking for it fails at configure time.
# Usage: wiiuse_choice_test.sh SOURCE_DIR LIBWIIUSE_SO WIIUSE_H
set -eu
src=$1 lib=$2 header=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/prefix/include" "$tmp/prefix/lib" "$tmp/empty"
cp "$header" "$tmp/prefix/include/wiiuse.h"
cp "$lib" "$tmp/prefix/lib/libwiiuse.so"

fail() { echo "FAIL: $*"; exit 1; }

cmake -S "$src" -B "$tmp/found" -DBUILD_TESTING=OFF -DHITCHECK_WIIUSE=system \
	-DCMAKE_PREFIX_PATH="$tmp/prefix" >"$tmp/found.log" 2>&1 ||
	{ cat "$tmp/found.log"; fail "configure with a wiiuse under the prefix"; }
cmake --build "$tmp/found" --target hitcheck hitview >"$tmp/build.log" 2>&1 ||
	{ cat "$tmp/build.log"; fail "build against it"; }
grep -q "using the wiiuse installation at $tmp/prefix/lib/libwiiuse.so" "$tmp/found.log" ||
	fail "configure did not say which wiiuse it took"
for p in hitcheck/hitcheck hitview/hitview; do
	readelf -d "$tmp/found/$p" | grep -q 'NEEDED.*\[libwiiuse\.so\]' || fail "$p does not need libwiiuse.so"
done
out=$(LD_LIBRARY_PATH="$tmp/prefix/lib" HITCHECK_SCENARIO=quiet "$tmp/found/hitcheck/hitcheck")
expected='inizializzazione wiimote_player...
numero di wiimote trovati: 0 
Connessione non riuscita con nessun wiimote.
inizializzazione wiimote_robot...
numero di wiimote trovati: 0
Connessione non riuscita con nessun wiimote.'
[ "$out" = "$expected" ] || fail "hitcheck over the installed wiiuse printed: $out"

if cmake -S "$src" -B "$tmp/missing" -DBUILD_TESTING=OFF -DHITCHECK_WIIUSE=system \
	-DCMAKE_PREFIX_PATH="$tmp/empty" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF \
	>"$tmp/missing.log" 2>&1; then
	fail "HITCHECK_WIIUSE=system configured without any wiiuse"
fi
grep -q "no wiiuse installation was found" "$tmp/missing.log" ||
	{ cat "$tmp/missing.log"; fail "the configure error does not say why"; }
echo "wiiuse choice: installation taken when present, clear error when absent"
