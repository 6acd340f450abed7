#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a plain
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need-packages.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${VM_PACKAGES[@]}"

for variant in plain:OFF:build asan:ON:build-asan; do
	IFS=: read -r name sanitize dir <<<"$variant"
	echo "=== $name build"
	cmake -S . -B "$dir" -DHITCHECK_SANITIZE="$sanitize" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
	cmake --build "$dir" -j"$(nproc)"
	ctest --test-dir "$dir" -j2 --output-on-failure
done
