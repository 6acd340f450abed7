#!/usr/bin/env bash
# Pulses per second of serialpulse against the floor (the same honest pulse:
# open, write, drain, close and line, with bare system calls), side by side
# in one run, on three devices at /dev/ttyUSB0:
#   null  /dev/null (no terminal: nothing to drain)
#   pty   a pseudo-terminal, a tty as the real adapter is
#   vm    the kernel's ftdi_sio on an emulated FTDI adapter, under qemu (3 s, five rounds)
# Needs root (private mount namespaces). Usage: bench/serialpulse.sh [BUILD_DIR] [DEVICE...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
shift || true
devices=${*:-null pty vm}
program=$build/serialpulse/serialpulse
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/floor" "$here/floor.c"
cc -O2 -o "$work/pulses" "$here/pulses.c"

ratio() { # DEVICE PROGRAM_LINES FLOOR_LINES SECONDS
	awk -v d="$1" -v p="$2" -v f="$3" -v s="$4" 'BEGIN {
		printf "%s: serialpulse %.0f pulses/s, floor %.0f pulses/s, ratio program/floor %.3f\n", d, p / s, f / s, p / f
	}'
}

seconds=2 rounds=3
for device in $devices; do
	if [ "$device" = vm ]; then
		# In the guest, rounds of each program on the real adapter.
		out=$(bash "$here/../tests/vm/run-vm.sh" "$build/hitcheck/hitcheck" "$program" \
			"$build/tests/vm/vmcheck" bench "$work/floor") || { echo "vm: $out" >&2; continue; }
		p=$(sed -n 's/^vm: bench serialpulse //p' <<<"$out" | awk '{s += $1} END {print s + 0}')
		f=$(sed -n 's/^vm: bench floor //p' <<<"$out" | awk '{s += $1} END {print s + 0}')
		n=$(grep -c '^vm: bench floor ' <<<"$out" || true)
		ratio "vm (ftdi_sio)" "$p" "$f" "$((n * $(sed -n 's/^vm: bench-seconds //p' <<<"$out")))"
		continue
	fi
	p=0 f=0
	for _ in $(seq $rounds); do
		p=$((p + $("$work/pulses" "$device" $seconds "$program")))
		f=$((f + $("$work/pulses" "$device" $seconds "$work/floor")))
	done
	ratio "$device" "$p" "$f" $((seconds * rounds))
done
