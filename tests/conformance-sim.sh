#!/bin/sh
# Runs the conformance suite against a fresh simulated driver.
set -eu
sim=$1
shift
MARNEL_SIM_DIR=$(mktemp -d)
export MARNEL_SIM_DIR
trap 'rm -rf "$MARNEL_SIM_DIR"' EXIT
"$sim" load --capacity 16
"$sim" run -- "$@"
