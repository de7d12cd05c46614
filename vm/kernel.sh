#!/bin/bash
# Finds one of the Debian kernels the module is tested on and prints
# "VERSION IMAGE BUILDDIR": the kernel to boot and the headers to build
# against.
#
#   vm/kernel.sh 6.1 | 6.1-rt | 6.12 | VERSION
#
# 6.1 is Debian 12's kernel, 6.1-rt its PREEMPT_RT flavour, 6.12 the one
# from bookworm-backports. A kernel of that version installed on the machine
# is used as it is; otherwise its packages are downloaded and unpacked
# (not installed: no root, no initramfs, nothing in /boot) under
# MARNEL_KERNEL_CACHE, default ~/.cache/marnel/kernels.
set -euo pipefail

flavour=${1:?usage: vm/kernel.sh 6.1|6.1-rt|6.12|VERSION}
# An installed kernel named by its version, as dkms builds for.
if [ -r "/boot/vmlinuz-$flavour" ] && [ -d "/lib/modules/$flavour/build" ]; then
	echo "$flavour /boot/vmlinuz-$flavour /lib/modules/$flavour/build"
	exit 0
fi
case $flavour in
6.1) meta=linux-image-amd64 ;;
6.1-rt) meta=linux-image-rt-amd64 ;;
6.12) meta=linux-image-amd64/bookworm-backports ;;
*)
	echo "vm/kernel.sh: unknown kernel '$flavour' (6.1, 6.1-rt or 6.12)" >&2
	exit 2
	;;
esac
cache=${MARNEL_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marnel/kernels}
mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial"
exec 9>"$cache/lock"
flock 9

# A private apt: its own sources, lists and downloads, so the machine's
# apt configuration is neither needed nor changed.
cat >"$cache/apt/sources.list" <<EOF
deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
deb http://deb.debian.org/debian bookworm-backports main
EOF
apt_opts=(-q -o Dir::State="$cache/apt" -o Dir::State::Lists="$cache/apt/lists"
	-o Dir::Cache="$cache/apt" -o Dir::Cache::archives="$cache/apt/archives"
	-o Dir::Etc::SourceList="$cache/apt/sources.list"
	-o Dir::Etc::SourceParts=/nonexistent -o Debug::NoLocking=true)
[ "$(id -u)" != 0 ] || apt_opts+=(-o APT::Sandbox::User=root)
if [ -z "$(find "$cache/apt/lists" -maxdepth 1 -name '*Packages*' -mtime -1 2>/dev/null)" ]; then
	apt-get "${apt_opts[@]}" update >"$cache/apt/update.log" 2>&1 ||
		{ cat "$cache/apt/update.log" >&2; exit 1; }
fi
depends() {
	apt-cache "${apt_opts[@]}" depends "$1" | sed -n 's/^  Depends: \(linux-[^ <]*\)$/\1/p'
}

# The newest of bookworm, its updates and security fixes; backports only
# when asked for.
image=$(depends "$meta" | grep '^linux-image-' | head -n 1)
version=${image#linux-image-}
[ -n "$version" ] || { echo "vm/kernel.sh: no $meta found" >&2; exit 1; }

if [ -r "/boot/vmlinuz-$version" ] && [ -d "/lib/modules/$version/build" ]; then
	echo "$version /boot/vmlinuz-$version /lib/modules/$version/build"
	exit 0
fi

root=$cache/$version
build=$root/usr/src/linux-headers-$version
if ! [ -f "$root/.complete" ]; then
	rm -rf "$root"
	mkdir -p "$root"
	packages=("linux-headers-$version")
	packages+=($(depends "linux-headers-$version" | grep -E '^linux-(headers|kbuild)-'))
	(cd "$cache/apt/archives" && apt-get "${apt_opts[@]}" download "$image" "${packages[@]}") \
		>"$root.log" 2>&1 || { cat "$root.log" >&2; exit 1; }
	for p in "${packages[@]}"; do
		dpkg-deb -x "$cache/apt/archives/${p}_"*.deb "$root"
	done
	dpkg-deb --fsys-tarfile "$cache/apt/archives/${image}_"*.deb |
		tar -x -C "$root" "./boot/vmlinuz-$version"
	# The headers' Makefile names the common half by its installed path.
	sed -i "s|^include /usr/src/|include $root/usr/src/|" "$build/Makefile"
	rm -f "$cache/apt/archives/"*.deb "$root.log"
	touch "$root/.complete"
fi
echo "$version $root/boot/vmlinuz-$version $build"
