#!/bin/bash
# A new machine: fresh minimal Debian roots made with debootstrap, one
# release after the other.
#
#   .ci/fresh-root.sh [PACKAGEDIR [RELEASE...]]    (default: bookworm trixie)
#
# For each release, in a root with a clone of this commit: as a user,
# ./demo.sh and ./check.sh must name the apt-get line and exit 1 without
# touching anything; as root ./demo.sh must install what it needs, then
# fill and drain the queue. In a
# second root, made from the same tarball, marnel-tools from PACKAGEDIR is
# installed with apt-get and run from PATH. On the newest release (trixie)
# the first root then runs ./check.sh as root (the asan and arm64 presets
# built, not tested; ccache added, its cache kept on the machine), the VM
# tests on that release's own two kernel lines, builds the module for
# Debian 12's 6.1 in a root of that release, and installs marnel-dkms
# beside the headers of 6.12 and 7.3: dkms must build the module for both,
# and the VM boots the one it built for 7.3.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packages=${1:+$(cd "$1" && pwd)}
shift || true
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)
newest=trixie
# Stress counts for a boot of a module that ./check.sh tested at length.
short="MARNEL_KILL_ROUNDS=10 MARNEL_STRESS_SECONDS=2 MARNEL_BALANCED_WRITES=20000"
# The Debian 13 root's compiles are kept between runs, as the CI machine's
# are: a cache of what gcc 14 made, in a folder of the machine's bound into
# the root (nothing of the root itself outlives it).
ccache_dir=${HOME:-/root}/.cache/marnel/ccache-trixie
base=$(mktemp -d /var/tmp/marnel-root.XXXXXX)
mounted=()

cleanup() {
	local m
	for m in "${mounted[@]}"; do
		umount "$m" 2>/dev/null || umount -l "$m" || true
	done
	# Never follow a mount that failed to go into the host's /dev or /proc,
	# nor into the bound cache, which is on the same file system.
	if awk -v b="$base/" 'index($2 "/", b) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
		echo "fresh root: $base still has mounts; left in place" >&2
		return
	fi
	rm -rf --one-file-system "$base"
}
trap cleanup EXIT
# A root from the release's tarball, with /proc, /sys and /dev bound.
new_root() {
	mkdir -p "$1"
	chmod 755 "$1"
	tar -C "$1" -xf "$base/$release.tar"
	for fs in proc sys dev; do
		mount --bind "/$fs" "$1/$fs"
		mounted=("$1/$fs" "${mounted[@]}")
	done
}
fail() {
	echo "fresh root $release: FAILED: $*" >&2
	exit 1
}
in_root() {
	local user=$1
	shift
	chroot --userspec="$user:$user" "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
		HOME="$(chroot "$root" getent passwd "$user" | cut -d: -f6)" CI="${CI:-}" "$@"
}
say() {
	echo "fresh root $release: $*"
}

for release in "${releases[@]}"; do
	started=$(date +%s)
	say "debootstrap --variant=minbase $release"
	debootstrap --variant=minbase "$release" "$base/made" >"$base/log" 2>&1 ||
		{ tail -n 30 "$base/log"; fail "debootstrap"; }
	# As the installer leaves a new machine: its release, updates and
	# security fixes.
	{
		echo "deb http://deb.debian.org/debian $release main"
		echo "deb http://deb.debian.org/debian $release-updates main"
		echo "deb http://deb.debian.org/debian-security $release-security main"
	} >"$base/made/etc/apt/sources.list"
	tar -C "$base/made" -cf "$base/$release.tar" .
	rm -rf --one-file-system "$base/made"
	root=$base/$release-demo
	new_root "$root"
	git clone -q "$repo" "$root/src/marnel"
	chroot "$root" useradd --create-home newcomer
	say "made in $(($(date +%s) - started)) s"

	for cmd in demo.sh check.sh; do
		say "./$cmd as a user without the packages"
		set +e
		out=$(in_root newcomer sh -c "cd /src/marnel && ./$cmd" 2>&1)
		status=$?
		set -e
		printf '%s\n' "$out"
		[ "$status" = 1 ] || fail "exit status $status, not 1"
		printf '%s\n' "$out" | grep -q 'sudo apt-get install .*cmake' || fail "no apt-get line"
		[ ! -e "$root/src/marnel/build" ] || fail "it built before saying what is missing"
	done

	say "./demo.sh as root"
	in_root root sh -c 'cd /src/marnel && ./demo.sh' 2>&1 | tee "$base/log" ||
		fail "./demo.sh as root"
	grep -qx 'depth: 100' "$base/log" || fail "pushwell did not fill the queue"
	grep -qx 'delivered: 100' "$base/log" || fail "drawwell did not drain the queue"

	if [ -n "$packages" ]; then
		root=$base/$release-package
		new_root "$root"
		cp "$packages"/marnel-tools_*.deb "$root/tmp/"
		say "apt-get install ./marnel-tools_*.deb, then the tools from PATH"
		in_root root sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends man-db /tmp/marnel-tools_*.deb' \
			>"$base/log" 2>&1 || { tail -n 30 "$base/log"; fail "installing marnel-tools"; }
		in_root root sh -ec '
			marnel-sim load
			# pushwell ends only by a signal: SIGINT, as Ctrl-C sends it.
			status=0; timeout -s INT 1 marnel-sim run -- pushwell 42 || status=$?
			[ $status = 124 ] || { echo "pushwell: status $status"; exit 1; }
			status=0; marnel-sim run -- drawwell || status=$?
			[ $status = 255 ] || { echo "drawwell: status $status"; exit 1; }
			marnel-sim status | tee /tmp/status
			grep -qx "delivered: 1024" /tmp/status
			grep -qx "depth: 0" /tmp/status
			man -w pushwell
			marnel-sim unload' 2>&1 || fail "marnel-tools from PATH"
	fi

	if [ "$release" = "$newest" ]; then
		root=$base/$release-demo
		# Debian 13's own two lines, which the CI machine leaves to this
		# root, at CI's shorter counts; the arm64 kernels boot on the CI
		# machine.
		kernels="6.12 7.3"
		say "./check.sh as root (VM tests on $kernels)"
		step=$(date +%s)
		# The CI machine has fuzzed for minutes; here each target only
		# needs to build with this release's compilers and run. The
		# litmus tests check the same models in the same sid root there.
		# The sanitizer and arm64 builds must build with this release's
		# compilers (warnings as errors); their tests, the same sources,
		# run on the CI machine.
		mkdir -p "$ccache_dir" "$root/var/cache/marnel-ccache"
		mount --bind "$ccache_dir" "$root/var/cache/marnel-ccache"
		mounted=("$root/var/cache/marnel-ccache" "${mounted[@]}")
		in_root root sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends ccache' \
			>"$base/log" 2>&1 || { tail -n 30 "$base/log"; fail "installing ccache"; }
		in_root root env MARNEL_VM_KERNELS="$kernels" MARNEL_CHECK_PRESETS="default asan arm64" \
			MARNEL_CHECK_BUILD_ONLY="asan arm64" \
			MARNEL_VM_I386_KERNELS=none MARNEL_VM_MODULE_KERNELS=6.12-armmp \
			MARNEL_FUZZ_SECONDS=10 MARNEL_LITMUS=no MARNEL_VM_SHORT=1 MARNEL_STOP_CYCLES=100 \
			CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/cache/marnel-ccache \
			CCACHE_BASEDIR=/src/marnel CCACHE_NOHASHDIR=1 \
			sh -c 'cd /src/marnel && ./check.sh' >"$base/check.log" 2>&1 ||
			{ tail -n 60 "$base/check.log"; fail "./check.sh"; }
		grep -E 'tests passed|Test +#[0-9]+: vm\.' "$base/check.log" || true
		# What each kernel moved, for the comparison with its -rt flavour.
		grep -E '^(kernel [0-9]|concurrent: )' \
			"$root/src/marnel/build/default/Testing/Temporary/LastTest.log" || true
		say "./check.sh passed in $(($(date +%s) - step)) s"
		# A kernel of the other release is built for in a root of that
		# release, by chroot from this chroot, where / is no mount point:
		# Debian 12's 6.1, the build only (it boots on the CI machine).
		say "the module for 6.1, built in a Debian 12 root from this root"
		step=$(date +%s)
		in_root root env MARNEL_VM_BUILD_ONLY=1 \
			sh -c 'cd /src/marnel && vm/run.sh build/default/bin /tmp/vm-6.1 6.1' >"$base/vm-6.1.log" 2>&1 ||
			{ tail -n 40 "$base/vm-6.1.log"; fail "the module for 6.1"; }
		grep -E '^(kernel|PASSED)' "$base/vm-6.1.log" || true
		say "the module for 6.1 built in $(($(date +%s) - step)) s"
		if [ -n "$packages" ]; then
			cp "$packages"/marnel-dkms_*.deb "$root/tmp/"
			echo "deb http://deb.debian.org/debian $release-backports main" >>"$root/etc/apt/sources.list"
			say "marnel-dkms beside the headers of 6.12 and 7.3"
			in_root root bash -ec '
				cd /src/marnel
				v612=$(vm/kernel.sh 6.12 | cut -d" " -f1)
				v73=$(vm/kernel.sh 7.3 | cut -d" " -f1)
				export DEBIAN_FRONTEND=noninteractive
				{ apt-get update -q &&
					apt-get install -y -q --no-install-recommends dkms "linux-headers-$v612" "linux-headers-$v73" &&
					apt-get install -y -q --no-install-recommends /tmp/marnel-dkms_*.deb; } >/tmp/dkms.log 2>&1 ||
					{ tail -n 30 /tmp/dkms.log; exit 1; }
				version=$(dpkg-deb -f /tmp/marnel-dkms_*.deb Version)
				# By its path: only headers of 7.3 are installed, and depmod
				# indexes no kernel whose modules are not.
				for v in "$v612" "$v73"; do
					ko=$(find "/lib/modules/$v/updates" -name "marnel.ko*" 2>/dev/null | head -n 1)
					[ -n "$ko" ] || { echo "dkms built no module for $v"; exit 1; }
					[ "$(modinfo -F version "$ko")" = "$version" ] || { echo "$ko is not version $version"; exit 1; }
					echo "dkms built $ko"
				done
				export MARNEL_VM_MODULE=$ko MARNEL_VERSION=$version "$@"
				vm/run.sh build/default/bin /tmp/vm-dkms 7.3 >/tmp/vm-dkms.log 2>&1 ||
					{ cat /tmp/vm-dkms.log; exit 1; }
				grep -E "^(booting|PASSED)" /tmp/vm-dkms.log' sh $short 2>&1 || fail "marnel-dkms on 6.12 and 7.3"
		fi
	fi
	# This release's roots go before the next one's are made.
	cleanup
	mounted=()
	mkdir -p "$base"
	say "PASSED in $(($(date +%s) - started)) s"
done
