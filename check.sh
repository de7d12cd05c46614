#!/bin/sh
# Builds with the default and the sanitizer presets and runs every test.
set -eu
cd "$(dirname "$0")"
. ./deps.sh
deps_ensure build test vm
for preset in default asan; do
	cmake --preset "$preset"
	cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)"
	ctest --preset "$preset" --output-log "build/$preset/ctest.log"
	# A test skips itself when the machine lacks something; CI must not.
	if [ -n "${CI:-}" ] && grep '(Skipped)' "build/$preset/ctest.log"; then
		echo "check.sh: tests skipped in CI" >&2
		exit 1
	fi
done
