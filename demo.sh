#!/usr/bin/env bash
# A short game on two virtual Wii Remotes, with no remote at hand: boots
# Debian's kernel under qemu and shows hitcheck's real output.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need-packages.sh
need_packages "${BUILD_PACKAGES[@]}" "${VM_PACKAGES[@]}"
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" --target hitcheck serialpulse vmcheck >/dev/null
exec bash tests/vm/run-vm.sh build/hitcheck/hitcheck build/serialpulse/serialpulse build/tests/vm/vmcheck demo
