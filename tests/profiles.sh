#!/bin/sh
# Each profile on the simulated driver: marnel-probe --profile reads back
# the profile it was loaded with (comment lines aside), and the core level
# holds under it.   usage: profiles.sh BINDIR PROFILE...
set -eu
bin=$1
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export MARNEL_SIM_DIR="$dir/state"
status=0
for profile in "$@"; do
	name=$(basename "$profile")
	"$bin/marnel-sim" load --profile "$profile"
	grep -v '^#' "$profile" >"$dir/loaded"
	if ! "$bin/marnel-sim" run -- "$bin/marnel-probe" --profile >"$dir/probed"; then
		echo "$name: marnel-probe --profile failed" >&2
		status=1
	elif ! grep -v '^#' "$dir/probed" | diff -u "$dir/loaded" - >&2; then
		echo "$name: probed otherwise than loaded" >&2
		status=1
	fi
	if ! "$bin/marnel-sim" run -- "$bin/marnel-conformance" --level core >"$dir/core" 2>&1; then
		grep 'not ok' "$dir/core" >&2 || true
		echo "$name: the core level fails" >&2
		status=1
	fi
	"$bin/marnel-sim" unload
	echo "$name: done"
done
exit $status
