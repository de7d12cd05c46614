#!/bin/sh
# The corpus on the simulated driver, compared with the kernel module's
# output (expected.txt, taken in the virtual machine by vm/run.sh) or,
# for the host folder, with host-expected.txt.
#
#   check.sh BINDIR [host]
#
# Refresh expected.txt after changing the corpus or marnel-probe (kit/):
#   flock /tmp/marnel-vm.lock vm/run.sh build/default/bin /tmp/vm 6.1 &&
#   cp /tmp/vm/differential-module.txt tests/differential/expected.txt
# Exit status 77: skipped (the reason is printed).
set -u
bin=$(cd "$1" && pwd)
corpus=${2:-corpus}
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/expected.txt
[ "$corpus" = corpus ] || expected=$here/$corpus-expected.txt
# The module's answers were taken as root; the entries' modes give another
# user other ones.
[ "$(id -u)" = 0 ] || { echo "SKIPPED: the expected output was taken as root"; exit 77; }
if [ "$corpus" = host ]; then
	for tool in python3 perl dash; do
		command -v $tool >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
	done
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
MARNEL_SIM_DIR=$dir/state PATH=$bin:$PATH LC_ALL=C "$bin/marnel-sim" run -- \
	sh "$here/run.sh" "marnel-sim load --capacity 16" "marnel-sim unload" "$corpus" \
	>"$dir/out.txt" 2>&1
if ! diff -u "$expected" "$dir/out.txt"; then
	echo "FAILED: the simulated driver differs from $expected"
	exit 1
fi
echo "identical to $expected"
