#!/bin/sh
# Builds with the default, the sanitizer, the arm64 and the i386 presets
# and runs every test (arm64's under qemu-user, i386's natively); in CI,
# also the fuzz targets.
# MARNEL_CHECK_BUILD_ONLY names presets that are built but not tested
# (say "asan arm64", where another run tests them on the same sources);
# MARNEL_CHECK_PRESETS narrows the presets themselves.
set -eu
cd "$(dirname "$0")"
presets=${MARNEL_CHECK_PRESETS:-default asan arm64 i386}
for preset in ${MARNEL_CHECK_BUILD_ONLY:-}; do
	case " $presets " in
	*" $preset "*) ;;
	*) echo "check.sh: MARNEL_CHECK_BUILD_ONLY: no preset '$preset' (presets: $presets)" >&2; exit 2 ;;
	esac
done
built() {
	case " $presets " in *" $1 "*) ;; *) return 1 ;; esac
}
tested() {
	built "$1" || return 1
	case " ${MARNEL_CHECK_BUILD_ONLY:-} " in *" $1 "*) return 1 ;; esac
}
. ./deps.sh
deps_ensure build test vm cross
# The arm64 tests start arm64 programs, which the kernel hands to
# qemu-user through binfmt_misc. A booted Debian registers it
# (systemd-binfmt); a container or a chroot may not have.
binfmt=/proc/sys/fs/binfmt_misc
if tested arm64 && ! [ -e $binfmt/qemu-aarch64 ]; then
	if [ "$(id -u)" != 0 ]; then
		echo "check.sh: arm64 programs do not run here; as root: systemctl restart systemd-binfmt" >&2
		exit 1
	fi
	mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
	[ -e $binfmt/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >$binfmt/register
fi
# The i386 build runs its test programs to list their cases, and its
# tests run them. A kernel without IA32 emulation (as in some virtual
# machines) runs no 32-bit program: there qemu-user runs them, registered
# as for arm64 (Debian ships no such entry for i386).
if built i386 && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
	if [ "$(id -u)" != 0 ]; then
		echo "check.sh: 32-bit programs do not run here; as root, check.sh hands them to qemu-i386-static" >&2
		exit 1
	fi
	mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
	[ -e $binfmt/qemu-i386 ] || printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >$binfmt/register
fi
for preset in $presets; do
	cmake --preset "$preset"
	cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)"
	if ! tested "$preset"; then
		echo "check.sh: $preset built, its tests left out (MARNEL_CHECK_BUILD_ONLY)"
		continue
	fi
	# The i386 tests under qemu-user get an emulator's bounds, and keep
	# their folders on tmpfs where there is one: there a 32-bit readdir
	# of ext4 fails with EOVERFLOW (its offsets are the 64-bit kernel's),
	# as on no 32-bit machine.
	tmp=${TMPDIR:-/tmp} slow=${MARNEL_TEST_SLOWDOWN:-}
	if [ "$preset" = i386 ] && [ -e $binfmt/qemu-i386 ]; then
		! mountpoint -q /dev/shm || tmp=/dev/shm
		slow=5
	fi
	TMPDIR=$tmp MARNEL_TEST_SLOWDOWN=$slow ctest --preset "$preset" --output-log "build/$preset/ctest.log"
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
