#!/bin/sh
# The two commands share build/: the test command's configure turns the
# tests on again after the run command's turned them off, in both builds.
# Usage: commands_test.sh SOURCE_DIR
set -eu
cd "$1"
. scripts/configure.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for sanitize in OFF ON; do
	configure_for_run "$tmp/build"
	configure_for_tests "$tmp/build" "$sanitize"
	tests=$(ctest --test-dir "$tmp/build" -N | sed -n 's/^Total Tests: //p')
	echo "HITCHECK_SANITIZE=$sanitize: $tests tests"
	[ "${tests:-0}" -gt 0 ] || { echo "FAIL: no test after run.sh's configure"; exit 1; }
done
