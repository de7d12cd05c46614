#!/bin/sh
# Builds the tools and fills and drains a queue on the simulated driver.
set -eu
cd "$(dirname "$0")"
. ./deps.sh
deps_ensure build

jobs=$(nproc 2>/dev/null || echo 2)
echo "building pushwell, drawwell and the simulated driver in build/demo ($jobs jobs)"
log=build/demo-configure.log
mkdir -p build
cmake --preset demo >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build --preset demo -j "$jobs"
bin=$PWD/build/demo/bin
export PATH="$bin:$PATH"

MARNEL_SIM_DIR=$(mktemp -d)
export MARNEL_SIM_DIR
trap 'marnel-sim unload 2>/dev/null; rm -rf "$MARNEL_SIM_DIR"' EXIT

show() {
	printf '\n$ %s\n' "$*"
	"$@"
}

show marnel-sim load --capacity 100
# SIGINT, as Ctrl-C would send it; timeout itself then reports 124.
show timeout -s INT 1 marnel-sim run -- pushwell 42 || true
show marnel-sim status
show marnel-sim run -- drawwell || echo "drawwell's exit status: $?"
show marnel-sim status
