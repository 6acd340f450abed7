#!/bin/sh
# What an operator installs: `cmake --install` and the Debian package place
# every file, the package declares what it needs and passes lintian, the
# manual pages render cleanly, and the installed programs start.
# Usage: package_test.sh BUILD_DIR SERIALPULSE_TEST
set -eu
build=$1 serial_test=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

expect_files() { # ROOT FILE...
	root=$1
	shift
	for f in "$@"; do [ -f "$root/$f" ] || fail "missing $f in $root"; done
}
files="bin/hitcheck bin/hitview bin/serialpulse lib/udev/rules.d/70-hitcheck-wiimote.rules
share/man/man1/hitcheck.1.gz share/man/man1/hitview.1.gz share/man/man1/serialpulse.1.gz
share/doc/hitcheck/copyright share/doc/hitcheck/changelog.gz"

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
# shellcheck disable=SC2086
expect_files "$tmp/prefix" $files

(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; exit 1; }
deb=$(ls "$tmp"/out/*.deb)
dpkg-deb -x "$deb" "$tmp/root"
# shellcheck disable=SC2086
expect_files "$tmp/root/usr" $files
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libc6 libevdev2 libsystemd0 libstdc++6 libncursesw6; do
	echo "$depends" | grep -q "$d" || fail "Depends lacks $d"
done
dpkg-deb -f "$deb" Maintainer | grep -q '@' || fail "no maintainer address"

if command -v lintian >/dev/null; then
	lintian -I --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log"; fail "lintian"; }
	grep '^[EW]:' "$tmp/lintian.log" || true
	# Built as Debian builds its own: every hardening feature.
	! grep 'hardening-no-' "$tmp/lintian.log" || fail "binaries without Debian's hardening"
else
	fail "lintian is not installed"
fi

for page in hitcheck hitview serialpulse; do
	warnings=$(MANWIDTH=80 man --warnings -l "$tmp/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
	[ -z "$warnings" ] || fail "$page.1 renders with warnings: $warnings"
	MANWIDTH=80 man -l "$tmp/root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" ||
		fail "$page.1 does not render"
done

# The installed hitcheck starts: its search for the player's remote begins.
timeout 2 "$tmp/root/usr/bin/hitcheck" >"$tmp/hitcheck.out" 2>&1 || true
[ "$(head -n 1 "$tmp/hitcheck.out")" = "inizializzazione wiimote_player..." ] ||
	fail "installed hitcheck printed: $(cat "$tmp/hitcheck.out")"

# The installed hitview starts the same search.
timeout 2 "$tmp/root/usr/bin/hitview" >"$tmp/hitview.out" 2>&1 </dev/null || true
grep -q "impossibile\|error" "$tmp/hitview.out" && fail "installed hitview said: $(cat "$tmp/hitview.out")"

# The installed serialpulse pulses a pseudo-terminal at /dev/ttyUSB0.
SERIALPULSE_UNDER_TEST="$tmp/root/usr/bin/serialpulse" "$serial_test" \
	--gtest_filter=Serialpulse.SendsOneByteAPulseAndAnnouncesEachOne >"$tmp/serial.log" 2>&1 ||
	{ cat "$tmp/serial.log"; fail "installed serialpulse"; }
grep -q 'SKIPPED' "$tmp/serial.log" && fail "installed serialpulse not tried: $(grep -A1 Skipped "$tmp/serial.log")"

[ "$failed" -eq 0 ] && echo "package: every file in place, lintian clean, installed programs start"
exit "$failed"
