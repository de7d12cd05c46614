# The Debian packages that each job needs, in one place. Sourced by
# demo.sh, check.sh, vm/run.sh and .ci/run:
#
#   . ./deps.sh && deps_ensure build test
#
# deps_ensure installs what is missing when run as root on Debian or Ubuntu;
# otherwise it prints the one command that would and exits 1.

deps_build="cmake g++ make"
# clang and its runtimes build the libFuzzer targets: the unversioned names
# are each release's default clang. valgrind runs memcheck; the
# differential corpus also drives the driver from python3 and perl;
# checkpatch comes out of the kernel's source tarball (xz).
deps_test="libgtest-dev binutils strace groff-base clang libclang-rt-dev valgrind python3 perl xz-utils"
# The module is built with W=1, which runs the kernel's kernel-doc (perl),
# and C=2 (sparse); 6.12's modules carry BTF (pahole, from dwarves). The
# kernels themselves are downloaded by vm/kernel.sh, not installed; one of
# another release than this machine's is built for in a root debootstrap
# makes. The debug kernels are built here from source: flex, bison, bc
# and libelf-dev (objtool). On Debian 13 the module is built for its armhf
# kernel with the release's cross compiler.
deps_vm="qemu-system-x86 qemu-system-arm busybox-static cpio gcc make perl sparse dwarves debootstrap flex bison bc libelf-dev gcc-arm-linux-gnueabihf"
# The arm64 build: Debian's cross compiler and target libc, and qemu-user
# to run its tests here. The i386 build: the cross compiler (gcc-multilib
# conflicts with every cross compiler), and the 32-bit loader and
# libraries its programs run with here.
deps_cross="g++-aarch64-linux-gnu qemu-user-static g++-i686-linux-gnu libc6-i386 lib32stdc++6"
# Packages: dpkg-shlibdeps computes marnel-tools' dependencies.
deps_package="dpkg-dev"
# CI also proves the packages: lintian, and dkms building the module for an
# installed kernel.
deps_ci="git ca-certificates ccache lintian dkms linux-image-amd64 linux-headers-amd64"

# The packages of the named groups that are not installed.
deps_missing() {
	local group wanted= installed p missing=
	for group in "$@"; do
		eval "wanted=\"\$wanted \$deps_$group\""
	done
	command -v dpkg-query >/dev/null || { echo $wanted; return; }
	# One query for all of them; a package dpkg never heard of prints nothing.
	installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' $wanted 2>/dev/null |
		awk '$2 == "installed" { print $1 }' || true)
	for p in $wanted; do
		case " $missing " in *" $p "*) continue ;; esac
		echo "$installed" | grep -qx "$p" || missing="$missing $p"
	done
	echo $missing
}

deps_ensure() {
	local missing me log
	missing=$(deps_missing "$@")
	[ -n "$missing" ] || return 0
	me=$(basename "$0")
	if ! command -v apt-get >/dev/null; then
		echo "$me: needs these Debian packages (or your system's equivalents): $missing" >&2
		exit 1
	fi
	if [ "$(id -u)" != 0 ]; then
		echo "$me: missing packages; install them with: sudo apt-get install $missing" >&2
		exit 1
	fi
	echo "$me: installing $missing (apt-get)"
	log=$(mktemp)
	if ! { DEBIAN_FRONTEND=noninteractive apt-get update &&
		DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing; } >"$log" 2>&1; then
		tail -n 20 "$log" >&2
		echo "$me: apt-get failed (log: $log)" >&2
		exit 1
	fi
	rm -f "$log"
}
