#!/usr/bin/env bash
# hitcheck's start-up with both remotes bound, and its CPU over 30 s while
# both are connected and quiet, side by side with another build in one run:
# both in the same virtual machine (the kernel's hid-wiimote over uhid,
# udev, an ordinary user), two rounds, each build first in turn.
# With "search": its CPU over each search of the checks over the air (a
# never-paired original, then an evening of an original and a clone), and
# how long each remote took from its SYNC or button to connected, each
# build in a machine of its own, two rounds, each build first in turn.
# Usage: bench/hitcheck.sh [BUILD_DIR] [REVISION] [search]
#   (REVISION: e3e6ebe, or fb27f8c with "search")
# The stack is HITCHECK_VM_STACK's, as for the checks (debian12 by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
mode=${3:-idle}
rev=${2:-$([ "$mode" = search ] && echo fb27f8c || echo e3e6ebe)}
for f in hitcheck/hitcheck serialpulse/serialpulse tests/vm/vmcheck; do
	[ -x "$build/$f" ] || { echo "no $build/$f: build with the tests first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'git -C "$here/.." worktree remove --force "$work/src" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git -C "$here/.." worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
cmake -S "$work/src" -B "$work/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" --target hitcheck >/dev/null
if [ "$mode" = search ]; then
	# This tree's checks for both builds, with what each says on standard
	# error left aside: the older build's hints are not this one's.
	now=$work/now
	mkdir -p "$now/tests"
	cp -r "$here/../tests/vm" "$now/tests/"
	cp -r "$here/../udev" "$now/"
	sed -i -e 's/^\(exits [0-9]* [0-9]*\).*/\1 */' -e 's/^said .*/said */' "$now"/tests/vm/*.steps
	# A first run, not counted: the machine right after the build was
	# seen to be the slowest of its rounds.
	bash "$now/tests/vm/run-vm.sh" "$build/hitcheck/hitcheck" "$build/serialpulse/serialpulse" \
		"$build/tests/vm/vmcheck" air >/dev/null || true
	out=$(for order in "this before" "before this"; do
		for b in $order; do
			bin=$build/hitcheck/hitcheck
			[ "$b" = this ] || bin=$work/build/hitcheck/hitcheck
			bash "$now/tests/vm/run-vm.sh" "$bin" "$build/serialpulse/serialpulse" "$build/tests/vm/vmcheck" air |
				sed -n "s/^figure: \(.*\) \(of CPU in \|to connected: \)/$b: \1 \2/p"
		done
	done)
	echo "$out"
	# Per delay, the means of both rounds, and the ratios this build / REVISION.
	echo "$out" | awk -v rev="$rev" '
		/to connected: / { b = $1; sub(/:$/, "", b); label = $0; sub(/^[a-z]+: /, "", label); sub(/: [0-9.]+ ms$/, "", label)
		  ms[label, b] += $(NF - 1) + 0; n[label, b]++; labels[label] = 1 }
		END { for (l in labels) if (n[l, "this"] && n[l, "before"])
			printf "%s: this build %.2f s, %s %.2f s (means), ratio %.2f\n", l, ms[l, "this"] / n[l, "this"] / 1000, rev,
				ms[l, "before"] / n[l, "before"] / 1000, (ms[l, "this"] / n[l, "this"]) / (ms[l, "before"] / n[l, "before"]) }'
	out=$(echo "$out" | grep "of CPU in")
	# Per search, the sums of both rounds, and the ratios this build / REVISION.
	echo "$out" | awk -v rev="$rev" '
		{ b = $1; sub(/:$/, "", b); line = $0; sub(/^[a-z]+: /, "", line); label = line; sub(/: [0-9.]+ s of CPU.*/, "", label)
		  n = split(line, w, " "); cpu[label, b] += w[n - 11]; secs[label, b] += w[n - 6]; labels[label] = 1 }
		END { for (l in labels)
			printf "%s: this build %.2f%%, %s %.2f%% of a core, ratio %.2f\n", l,
				100 * cpu[l, "this"] / secs[l, "this"], rev, 100 * cpu[l, "before"] / secs[l, "before"],
				cpu[l, "before"] ? (cpu[l, "this"] / secs[l, "this"]) / (cpu[l, "before"] / secs[l, "before"]) : 0 }'
	exit 0
fi
out=$(bash "$here/../tests/vm/run-vm.sh" "$build/hitcheck/hitcheck" "$build/serialpulse/serialpulse" \
	"$build/tests/vm/vmcheck" idle "$work/build/hitcheck/hitcheck")
echo "$out"
# The sums of both rounds, and the ratios this build / REVISION.
echo "$out" | awk -v rev="$rev" '
	/idle CPU:/ { cpu[$3] += $6; secs[$3] += $9 }
	/start-up/ { up[$3] += $9; n[$3]++ }
	END {
		printf "quiet CPU: this build %.2f%%, %s %.2f%% of a core, ratio %.2f\n",
			100 * cpu["hitcheck"] / secs["hitcheck"], rev, 100 * cpu["hitcheck-before"] / secs["hitcheck-before"],
			cpu["hitcheck-before"] ? cpu["hitcheck"] / cpu["hitcheck-before"] : 0
		printf "start-up: this build %.0f ms, %s %.0f ms (means), ratio %.2f\n",
			up["hitcheck"] / n["hitcheck"], rev, up["hitcheck-before"] / n["hitcheck-before"],
			up["hitcheck"] / up["hitcheck-before"]
	}'
