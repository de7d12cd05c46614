#!/bin/sh
# Builds with the default, the sanitizer, the arm64 and the i386 presets
# and runs every test (arm64's under qemu-user, i386's natively); in CI,
# also the fuzz targets.
set -eu
cd "$(dirname "$0")"
. ./deps.sh
deps_ensure build test vm cross
# The arm64 tests start arm64 programs, which the kernel hands to
# qemu-user through binfmt_misc. A booted Debian registers it
# (systemd-binfmt); a container or a chroot may not have.
binfmt=/proc/sys/fs/binfmt_misc
if ! [ -e $binfmt/qemu-aarch64 ]; then
	if [ "$(id -u)" != 0 ]; then
		echo "check.sh: arm64 programs do not run here; as root: systemctl restart systemd-binfmt" >&2
		exit 1
	fi
	mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
	[ -e $binfmt/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >$binfmt/register
fi
for preset in default asan arm64 i386; do
	cmake --preset "$preset"
	cmake --build --preset "$preset" -j "$(nproc 2>/dev/null || echo 2)"
	ctest --preset "$preset" --output-log "build/$preset/ctest.log"
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
