#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a plain
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
here=$(dirname -- "$0"; echo .)
cd -- "${here%?.}"
. scripts/need-packages.sh
. scripts/configure.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${VM_PACKAGES[@]}"

for variant in plain:OFF:build asan:ON:build-asan; do
	IFS=: read -r name sanitize dir <<<"$variant"
	echo "=== $name build"
	configure_for_tests "$dir" "$sanitize"
	cmake --build "$dir" -j"$(nproc)"
	# A build without tests is a failure, never a pass.
	ctest --test-dir "$dir" -j2 --output-on-failure --no-tests=error
done
