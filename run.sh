#!/usr/bin/env bash
# Installs what is missing, builds hitcheck and serialpulse, and starts hitcheck.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need-packages.sh
need_packages "${BUILD_PACKAGES[@]}"
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/hitcheck/hitcheck
