#!/bin/sh
# Runs a command on a freshly loaded simulated driver of its own.
#   with-sim.sh MARNEL-SIM CAPACITY COMMAND [ARG...]
set -eu
sim=$1
capacity=$2
shift 2
MARNEL_SIM_DIR=$(mktemp -d)
export MARNEL_SIM_DIR
trap '"$sim" unload 2>/dev/null; rm -rf "$MARNEL_SIM_DIR"' EXIT
"$sim" load --capacity "$capacity"
"$sim" run -- "$@"
