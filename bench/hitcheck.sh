#!/usr/bin/env bash
# hitcheck's start-up with both remotes bound, and its CPU over 30 s while
# both are connected and quiet, side by side with another build in one run:
# both in the same virtual machine (the kernel's hid-wiimote over uhid,
# udev, an ordinary user), two rounds, each build first in turn.
# Usage: bench/hitcheck.sh [BUILD_DIR] [REVISION]   (REVISION: e3e6ebe)
# The stack is HITCHECK_VM_STACK's, as for the checks (debian12 by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
rev=${2:-e3e6ebe}
for f in hitcheck/hitcheck serialpulse/serialpulse tests/vm/vmcheck; do
	[ -x "$build/$f" ] || { echo "no $build/$f: build with the tests first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'git -C "$here/.." worktree remove --force "$work/src" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git -C "$here/.." worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
cmake -S "$work/src" -B "$work/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" --target hitcheck >/dev/null
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
