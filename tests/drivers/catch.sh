#!/bin/sh
# A broken driver is caught: marnel-conformance, core level, fails with the
# clause the driver breaks among its failures, and ends in bounded time.
#   catch.sh MARNEL-SIM MARNEL-CONFORMANCE CLAUSE
# (the faulty driver is chosen by the environment: MARNEL_SIM_LIB and
# MARNEL_SIM_FAULT)
set -u
here=$(dirname "$0")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$(date +%s)
sh "$here/../with-sim.sh" "$1" 16 "$2" --timeout 3 >"$out"
status=$?
took=$(($(date +%s) - start))
cat "$out"
failed=$(sed -n 's/^not ok [0-9]* \([^ ]*\).*/\1/p' "$out" | tr '\n' ' ')
echo "caught: ${MARNEL_SIM_FAULT:-none} status $status in $took s, failed: $failed"
[ $status = 1 ] && grep -q "^not ok [0-9]* $3\( \|\$\)" "$out"
