#!/usr/bin/env bash
# A short game on two virtual Wii Remotes, with no remote at hand: boots
# Debian's kernel under qemu and shows hitcheck's real output.
set -euo pipefail
here=$(dirname -- "$0"; echo .)
cd -- "${here%?.}"
. scripts/need-packages.sh
# vmcheck is built with the tests, which want GoogleTest to configure.
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${VM_PACKAGES[@]}"
if [ ${#ROOT_STEPS[@]} -gt 0 ]; then
	tell_root_steps "installare ciò che serve alla dimostrazione"
	exit 1
fi
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" --target hitcheck serialpulse vmcheck >/dev/null
exec bash tests/vm/run-vm.sh build/hitcheck/hitcheck build/serialpulse/serialpulse build/tests/vm/vmcheck demo
