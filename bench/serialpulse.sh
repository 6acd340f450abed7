#!/usr/bin/env bash
# Pulses per second of serialpulse against the floor (the same open, write,
# close and line with bare system calls), both with /dev/null as the device,
# in one run. Needs root for a private mount namespace.
# Usage: bench/serialpulse.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
program=$build/serialpulse/serialpulse
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/floor" "$here/floor.c"

seconds=2
# Lines a command prints in $seconds, with /dev/null at /dev/ttyUSB0.
pulses() {
	unshare -m sh -c '
		mount --make-rprivate /
		mount -t tmpfs tmpfs /dev
		mknod -m 666 /dev/null c 1 3
		mknod -m 666 /dev/ttyUSB0 c 1 3
		timeout -s KILL "$1" "$2" >"$3" 2>/dev/null || true
	' sh "$seconds" "$1" "$work/out"
	wc -l <"$work/out"
}

rounds=3
prog_total=0 floor_total=0
for i in $(seq $rounds); do
	p=$(pulses "$program")
	f=$(pulses "$work/floor")
	echo "round $i: serialpulse $((p / seconds))/s, floor $((f / seconds))/s"
	prog_total=$((prog_total + p)) floor_total=$((floor_total + f))
done
awk -v p="$prog_total" -v f="$floor_total" -v s="$((seconds * rounds))" 'BEGIN {
	printf "serialpulse: %.0f pulses/s, floor: %.0f pulses/s, ratio program/floor: %.3f\n", p / s, f / s, p / f
}'
