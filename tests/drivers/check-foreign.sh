#!/bin/bash
# The kit against a kernel module that is not ours, through
# vm/check-driver.sh: the sound foreign module passes the core level and
# fails the reference level on reference clauses alone; two broken variants
# are each caught by the clause they break. The simulated driver, loaded
# with the profile probed from the sound one in the guest, prints the
# differential corpus's output as the module did.
#   check-foreign.sh BINDIR WORKDIR KERNEL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd) work=$2 kernel=$3
status=0
found=$("$here/../../vm/kernel.sh" "$kernel") || status=$?
[ $status != 77 ] || { echo "SKIPPED: the $kernel kernel needs root"; exit 77; }
[ $status = 0 ] || { echo "FAILED: no $kernel kernel"; exit 1; }
read -r kver image build debversion broot <<<"$found"
# Another release's kernel is built for in its root: vm/run.sh does that
# for our module; this test takes this release's kernels only.
[ "$broot" = - ] || { echo "SKIPPED: $kernel is another release's kernel"; exit 77; }
rm -rf "$work" && mkdir -p "$work/foreign"
cp "$here/foreign.c" "$work/foreign/" && echo 'obj-m := foreign.o' >"$work/foreign/Kbuild"
make -C "$build" M="$work/foreign" W=1 C=2 modules >"$work/build.log" 2>&1 &&
	! grep -E -q 'warning:|error:' "$work/build.log" ||
	{ cat "$work/build.log"; echo "FAILED: the foreign module's build"; exit 1; }
failed=0
# check NAME WANT-STATUS CHECK-DRIVER-ARGS...: its KTAP kept in WORK/NAME.ktap
check() {
	local name=$1 want=$2 got=0
	shift 2
	"$here/../../vm/check-driver.sh" "$work/foreign/foreign.ko" "$kernel" --bindir "$bin" size=16 "$@" \
		>"$work/$name.ktap" 2>"$work/$name.err" || got=$?
	cat "$work/$name.ktap"
	[ "$got" = "$want" ] || { echo "FAILED: $name: status $got, not $want"; cat "$work/$name.err"; failed=1; }
}
has() { grep -E -q "$2" "$work/$1.ktap" || { echo "FAILED: $1: no line $2"; failed=1; }; }
hasnt() { ! grep -E -q "$2" "$work/$1.ktap" || { echo "FAILED: $1: a line $2"; failed=1; }; }

check sound 1 --level reference --profile-out "$work/foreign.profile" \
	--differential "$work/differential-module.txt"
has sound '^ok [0-9]+ profile'
grep -q '^full-error EAGAIN$' "$work/foreign.profile" ||
	{ echo "FAILED: the probed profile has not the foreign module's EAGAIN"; failed=1; }
[ "$(grep -c -E '^ok [0-9]+ core\.' "$work/sound.ktap")" = 11 ] ||
	{ echo "FAILED: sound: not every core clause passed"; failed=1; }
hasnt sound '^not ok [0-9]+ (core\.|stress|kernel-log)'
has sound '^not ok [0-9]+ ref\.full-is-enospc'
export MARNEL_SIM_DIR=$work/sim
mkdir -m 700 "$MARNEL_SIM_DIR"
PATH="$bin:$PATH" marnel-sim run -- sh "$here/../differential/run.sh" \
	"marnel-sim load --profile $work/foreign.profile" "marnel-sim unload" \
	>"$work/differential-sim.txt" 2>&1
if ! [ -s "$work/differential-module.txt" ] ||
	! diff -u "$work/differential-module.txt" "$work/differential-sim.txt" >"$work/differential.diff"; then
	cat "$work/differential.diff"
	echo "FAILED: the simulated driver with the foreign profile differs from the module"
	failed=1
fi
check read-reports-count 1 fault=read-reports-count
has read-reports-count '^not ok [0-9]+ core\.read-reports-zero'
check lifo 1 fault=lifo
has lifo '^not ok [0-9]+ core\.fifo-order'
[ $failed = 0 ] && echo PASSED
exit $failed
