#!/bin/sh
# Builds with the default and the sanitizer presets and runs every test.
set -eu
cd "$(dirname "$0")"
for preset in default asan; do
	cmake --preset "$preset"
	cmake --build --preset "$preset" -j2
	ctest --preset "$preset"
done
