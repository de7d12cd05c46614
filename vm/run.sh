#!/bin/bash
# Boots a Debian kernel in qemu with the marnel module built from driver/,
# and runs the conformance suite and the tools against it.
#
#   vm/run.sh BINDIR [WORKDIR [KERNEL]]
#
# BINDIR holds pushwell, drawwell, the kit's marnel-conformance, marnel-probe
# and marnel-stress, and the test programs marnel-stress-faults and marnel-readfault. KERNEL is 6.1 (the default), 6.1-rt, 6.12,
# 6.12-rt, 7.3, 7.3-rt, next or an installed kernel's version (see
# kernel.sh; the -debug and -kcsan kernels also run their detectors' checks:
# KUnit, fault injection, kmemleak); 6.1-arm64, 6.12-arm64 and 7.3-arm64
# boot under qemu-system-aarch64 with the arm64 build's BINDIR, 6.1-686-pae
# under qemu-system-i386 with the i386 build's. MARNEL_VM_BUILD_ONLY=1 only
# builds the module (6.12-armmp has no VM here).
# MARNEL_VM_MODULE names a marnel.ko built elsewhere (by dkms, say) to load
# instead. Exit status: 0
# when every check passed, the number of failed scenario checks (at most 76),
# 1 for a failure around them (build, boot, kernel log), 77 when the machine
# cannot run it (the reason is printed). MARNEL_VM_TIMEOUT bounds the whole
# run (seconds, default 900). MARNEL_VM_SCENARIO runs another script in
# place of scenario.sh; MARNEL_VM_EXTRA lists more programs (paths) to put
# beside the tools. MARNEL_KILL_ROUNDS, MARNEL_STRESS_SECONDS and
# MARNEL_BALANCED_WRITES set the scenario's stress counts; MARNEL_VM_SHORT=1
# gives a release kernel the shorter ones the other kernels have.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?usage: vm/run.sh BINDIR [WORKDIR [KERNEL]]}" && pwd)
work=${2:-$(mktemp -d)}
mkdir -p "$work" && work=$(cd "$work" && pwd)
flavour=${3:-6.1}
arch=amd64
cross=()
case $flavour in
*-arm64) arch=arm64 cross=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-) ;;
*-686-pae) arch=i386 cross=(ARCH=i386) ;;
*-armmp) arch=armhf cross=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-) ;;
esac
limit=${MARNEL_VM_TIMEOUT:-900}
started=$(date +%s)

skip() {
	echo "SKIPPED: $*"
	exit 77
}
fail() {
	echo "FAILED: $*"
	exit 1
}

. "$here/../deps.sh"
. "$here/initramfs.sh"
missing=$(deps_missing vm)
if [ -n "$missing" ]; then
	[ "$(id -u)" = 0 ] || skip "missing $missing (run as root to install them)"
	echo "installing $missing"
	export DEBIAN_FRONTEND=noninteractive
	{ apt-get update && apt-get install -y --no-install-recommends $missing; } \
		>"$work.apt.log" 2>&1 || skip "could not install $missing: see $work.apt.log"
fi
status=0
found=$("$here/kernel.sh" "$flavour") || status=$?
[ $status != 77 ] || skip "the $flavour kernel needs root"
read -r kver image build debversion broot <<<"$found"
[ $status = 0 ] && [ -n "${broot:-}" ] || fail "no $flavour kernel"
echo "kernel $flavour: $kver ($debversion)"
version=${MARNEL_VERSION:-$(sed -n '/^project/s/.* VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")}
for tool in pushwell drawwell marnel-conformance marnel-probe marnel-stress marnel-stress-faults marnel-readfault; do
	[ -x "$bin/$tool" ] || fail "$bin/$tool is not built"
done

rm -rf "$work/driver" "$work/root"
mkdir -p "$work/driver" "$work/root"

# The module, built against the headers of the kernel that will boot, with
# every warning and sparse's checks on.
cp "$here/../driver/marnel.c" "$here/../driver/marnel_parse.h" "$here/../driver/Kbuild" "$work/driver/"
echo "$version" >"$work/driver/VERSION"
if [ "$broot" = - ]; then
	make -C "$build" M="$work/driver" "${cross[@]}" W=1 C=2 modules >"$work/module-build.log" 2>&1
else
	# In the Debian root of the kernel's release, by chroot and with no
	# mount namespace, which a chroot (where / is no mount point) cannot
	# make. kbuild writes to the /dev/null debootstrap made there; 7.x's
	# objtool reads /proc, mounted for the build under vm/kernel.sh's lock
	# and unmounted after it (by the next build, if this one was killed).
	inside=/tmp/marnel-$$
	rm -rf "$broot$inside" && cp -r "$work/driver" "$broot$inside"
	(
		exec 9>"${broot%/roots/*}/kernels/lock" && flock 9 &&
			{ mountpoint -q "$broot/proc" || mount -t proc proc "$broot/proc"; } &&
			trap 'umount "$broot/proc"' EXIT &&
			env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 chroot "$broot" \
				make -C "$build" M="$inside" "${cross[@]}" W=1 C=2 modules
	) >"$work/module-build.log" 2>&1 && cp "$broot$inside/marnel.ko" "$work/driver/"
fi || { cat "$work/module-build.log"; fail "module build"; }
rm -rf "${inside:+$broot$inside}"
if grep -E -q 'warning:|error:' "$work/module-build.log"; then
	cat "$work/module-build.log"
	fail "the module build printed warnings"
fi
module=${MARNEL_VM_MODULE:-$work/driver/marnel.ko}
# The debug kernels (built here) also load the test-only KUnit module of
# tests/drivers/, which never ships: the record parser's suite.
rm -rf "$work/kunit"
case $flavour in
*-debug | *-kcsan)
	mkdir -p "$work/kunit"
	cp "$here/../tests/drivers/marnel_kunit.c" "$here/../driver/marnel_parse.h" "$work/kunit/"
	echo 'obj-m := marnel_kunit.o' >"$work/kunit/Kbuild"
	make -C "$build" M="$work/kunit" W=1 C=2 modules >"$work/kunit-build.log" 2>&1 &&
		! grep -E -q 'warning:|error:' "$work/kunit-build.log" ||
		{ cat "$work/kunit-build.log"; fail "KUnit module build"; }
	# This kernel has KUnit built in: the shipped module, built against
	# it, still holds no test code.
	! nm "$work/driver/marnel.ko" | grep -q -i kunit || fail "marnel.ko holds KUnit symbols"
	;;
esac
# MARNEL_VM_BUILD_ONLY=1: the module's build is all that is asked (a
# 32-bit kernel's W=1 C=2 check; CI's proof that a root of another release
# builds it), no boot.
if [ -n "${MARNEL_VM_BUILD_ONLY:-}" ]; then
	echo "PASSED: the module built for $kver without a warning"
	exit 0
fi

# A small initramfs: busybox, the module, the binaries the build produced
# and the shared libraries they need. An arm64 guest's come from Debian's
# arm64 packages, with their libraries, in place of this machine's.
root=$work/root
userland=$(initramfs_root "$root" $arch "$bin"/{pushwell,drawwell,marnel-conformance,marnel-probe,marnel-stress,marnel-stress-faults,marnel-readfault} \
	${MARNEL_VM_EXTRA:-}) || fail "the initramfs"
cp "$module" "$root/lib/modules/marnel.ko"
[ ! -f "$work/kunit/marnel_kunit.ko" ] || cp "$work/kunit/marnel_kunit.ko" "$root/lib/modules/"
echo "$version" >"$root/version"
cp "$here/init" "$root/init"
cp "${MARNEL_VM_SCENARIO:-$here/scenario.sh}" "$root/scenario.sh"
# The differential corpus runs the same bash and coreutils in the VM as on
# this machine, so their output can differ only by the driver.
cp -r "$here/../tests/differential" "$root/differential"
initramfs_pack "$root" "$work/initramfs.gz"

# The scenario's counts, when set here: the kernel hands parameters it does
# not know to init as its environment. The debug kernels run their
# detectors' checks too, and pay for every access KASAN or KCSAN checks;
# an arm64 guest's every instruction is translated.
case $flavour in
*-debug | *-kcsan)
	MARNEL_DEBUG_KERNEL=1
	: "${MARNEL_BALANCED_WRITES:=50000}" "${MARNEL_KILL_ROUNDS:=20}" "${MARNEL_STRESS_SECONDS:=4}"
	;;
*-arm64)
	: "${MARNEL_BALANCED_WRITES:=50000}" "${MARNEL_KILL_ROUNDS:=15}" "${MARNEL_STRESS_SECONDS:=3}"
	;;
*-686-pae) # a stress phase of 70 s at full counts, here alone
	: "${MARNEL_BALANCED_WRITES:=250000}" "${MARNEL_KILL_ROUNDS:=50}" "${MARNEL_STRESS_SECONDS:=5}"
	;;
*) # CI's shorter counts (MARNEL_VM_SHORT=1); the scenario's own otherwise
	[ -z "${MARNEL_VM_SHORT:-}" ] ||
		: "${MARNEL_BALANCED_WRITES:=250000}" "${MARNEL_KILL_ROUNDS:=50}" "${MARNEL_STRESS_SECONDS:=4}"
	;;
esac
counts=
for v in MARNEL_KILL_ROUNDS MARNEL_STRESS_SECONDS MARNEL_BALANCED_WRITES MARNEL_DEBUG_KERNEL; do
	[ -z "${!v:-}" ] || counts="$counts $v=${!v}"
done
# Under multi-threaded tcg (qemu 7.2), the 7.x kernels' own code patching
# sometimes traps on the int3 it plants (an "Oops: int3" in sched_clock_cpu
# at boot, and in ktime_get later, in about a dozen boots), a race between
# the threads of qemu's translated code that no module takes part in.
# There both virtual CPUs run in one thread, interleaved (no Oops in 7
# boots). A kernel that
# still dies so, or before its first process runs, is booted again, up to
# three times in all.
accel=tcg
case $kver in
[7-9].* | [1-9][0-9].*) accel=tcg,thread=single ;;
esac
qemu=(qemu-system-x86_64 -accel "$accel")
console=ttyS0
if [ $arch = arm64 ]; then
	# Each virtual CPU in a thread of its own: this x86 host orders memory
	# more strongly than an arm64 guest asks, so qemu allows it.
	qemu=(qemu-system-aarch64 -M virt -cpu max -accel tcg)
	console=ttyAMA0
elif [ $arch = i386 ]; then
	# An Intel model: on qemu's AMD-like ones the 32-bit kernel warns that
	# the processors are not fit for SMP.
	qemu=(qemu-system-i386 -cpu coreduo -accel tcg)
elif [ $arch != amd64 ]; then
	fail "no virtual machine for $arch here (MARNEL_VM_BUILD_ONLY=1 builds the module)"
fi
echo "booting $kver under ${qemu[0]} (${qemu[*]:1}), module $module${counts:+, counts$counts}"
for boot in 1 2 3; do
	set +e
	timeout "$limit" "${qemu[@]}" -m 1024 -smp 2 -nographic -no-reboot \
		-kernel "$image" -initrd "$work/initramfs.gz" \
		-append "console=$console panic=-1 quiet$counts" </dev/null >"$work/console.log" 2>&1
	qemu_status=$?
	set -e
	tr -d '\r' <"$work/console.log" >"$work/console.txt"
	cat "$work/console.txt"
	[ $boot != 3 ] && [ $qemu_status != 124 ] &&
		{ ! grep -aq 'MARNEL-VM-STARTED' "$work/console.txt" ||
			grep -aq 'Oops: int3' "$work/console.txt"; } || break
	echo "the kernel died in its own code patching or before init ran (qemu status $qemu_status); booting it again"
done
echo "VM run: $(($(date +%s) - started)) s"

[ $qemu_status -ne 124 ] || fail "no result within $limit s"
sed -n '/^MARNEL-DIFFERENTIAL-BEGIN$/,/^MARNEL-DIFFERENTIAL-END$/{//!p}' "$work/console.txt" \
	>"$work/differential-module.txt"
result=$(sed -n 's/^MARNEL-VM-RESULT: //p' "$work/console.txt")
[ -n "$result" ] || fail "the scenario reported no result (qemu status $qemu_status)"
# A KCSAN report of a race within the kernel's own code, with no frame of
# the module in it (6.12's dcache has one between d_alloc_parallel and
# __d_lookup_unhash), is left out and counted; every other report stays.
awk '/^BUG: KCSAN: / { report = $0 "\n"; mine = /\[marnel\]/; lines = 0; next }
	report != "" {
		report = report $0 "\n"
		if (/\[marnel\]/ || ++lines > 100) mine = 1 # no end seen: kept
		if (/^=+$/ || lines > 100) { if (mine) printf "%s", report; else others++; report = "" }
		next
	}
	{ print }
	END { if (others) printf "KCSAN: %d reports of races in the kernel'"'"'s own code\n", others > "/dev/stderr" }' \
	"$work/console.txt" |
	# The persistent usercopy fault's section: the injection's own random
	# draw, a spinlock_t under our raw spinlock, is lockdep's "Invalid
	# wait context" from should_fail_ex; that report alone is left out.
	# Its start on the console is the scenario's section title (the kernel's
	# copy of the marker may not reach a quiet console), in the log the
	# marker.
	awk '/^=== a read whose every copy fails|marnel-vm: persistent usercopy fault begins/ { inj = 1; region = ""; next }
		inj && /marnel-vm: persistent usercopy fault ends|^scenario: / {
			inj = 0
			if (region ~ /should_fail_ex/ && region ~ /BUG: Invalid wait context/) {
				n = split(region, l, "\n"); other = 0
				for (i = 1; i <= n; i++)
					if (l[i] ~ /(BUG|WARNING|INFO):|Oops|UBSAN|KASAN|KCSAN/ && l[i] !~ /BUG: Invalid wait context|INFO: lockdep is turned off/)
						other = 1
				if (!other) { print "lockdep: the injection'"'"'s own report, left out" > "/dev/stderr"; next }
			}
			printf "%s", region; next
		}
		inj { region = region $0 "\n"; next }
		{ print }
		END { if (inj) printf "%s", region }' >"$work/console-checked.txt"
# Any report of the kernel's detectors (lockdep's among the WARNINGs, KASAN
# and sleeping in atomic context among the BUGs, hung tasks among the
# INFOs) fails the run; so does any stack trace, but for those of the
# allocations that the fault injection made to fail, which print theirs.
if grep -E -q 'BUG:|WARNING:|INFO: |Oops|Kernel panic|general protection|UBSAN:|KASAN:|KCSAN:' \
	"$work/console-checked.txt" ||
	awk '/marnel-vm: fault injection begins/ { inj = 1 } /marnel-vm: fault injection ends/ { inj = 0 }
		!inj && /Call Trace:/ { bad = 1 } END { exit !bad }' "$work/console-checked.txt"; then
	fail "the kernel log shows a problem"
fi
grep -q '^taint: clean' "$work/console.txt" || fail "the kernel is tainted beyond the out-of-tree module"
# The same corpus on the simulated driver, here, when the scenario ran it
# (another scenario, such as the benchmarks', does not).
if grep -q '^MARNEL-DIFFERENTIAL-BEGIN$' "$work/console.txt"; then
	export MARNEL_SIM_DIR="$work/sim"
	rm -rf "$MARNEL_SIM_DIR" && mkdir -m 700 "$MARNEL_SIM_DIR"
	# The simulated driver replays the module as probed in the guest: its
	# profile, as marnel-probe --profile found it.
	sed -n '/^MARNEL-PROFILE-BEGIN$/,/^MARNEL-PROFILE-END$/{//!p}' "$work/console.txt" \
		>"$work/profile-module.txt"
	[ -s "$work/profile-module.txt" ] || fail "the scenario probed no profile of the module"
	corpus=(marnel-sim run -- sh "$here/../tests/differential/run.sh"
		"marnel-sim load --profile $work/profile-module.txt --capacity 16" "marnel-sim unload")
	reference=$work/differential-sim.txt
	if [ $arch = i386 ]; then
		# Here the guest's i386 programs would run with this machine's
		# loader, of another build of glibc than theirs: the module's
		# output on x86_64, committed, is what the 32-bit module must print.
		reference=$here/../tests/differential/expected.txt
	elif [ $arch = arm64 ]; then
		# The guest's own programs, under qemu-user, with its libraries
		# from the prefix: dash as sh (busybox is static: nothing can be
		# preloaded into it).
		QEMU_LD_PREFIX=$userland PATH="$bin:$userland/usr/bin" "${corpus[@]}"
	else
		PATH="$bin:$PATH" "${corpus[@]}"
	fi >"$work/differential-sim.txt" 2>&1
	if ! diff -u "$work/differential-module.txt" "$reference" \
		>"$work/differential.diff"; then
		cat "$work/differential.diff"
		fail "differential: the drivers differ in $(grep -c '^[-+][^-+]' "$work/differential.diff") lines ($work/differential.diff)"
	fi
elif [ -z "${MARNEL_VM_SCENARIO:-}" ]; then
	fail "the scenario did not run the differential corpus"
fi
if [ "$result" != 0 ]; then
	echo "FAILED: $result scenario checks failed"
	exit $((result < 76 ? result : 76))
fi
echo "PASSED"
