#!/bin/sh
# Builds with the default and the sanitizer presets and runs every test;
# in CI, also the fuzz targets.
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
# In CI each fuzz target also runs for half a minute (about two with
# their build), or MARNEL_FUZZ_SECONDS.
if [ -n "${CI:-}" ]; then
	tests/fuzz/run.sh "${MARNEL_FUZZ_SECONDS:-30}"
fi
