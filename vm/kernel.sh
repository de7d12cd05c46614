#!/bin/bash
# Finds one of the Debian kernels the module is tested on and prints
# "VERSION IMAGE BUILDDIR DEBVERSION ROOT": the kernel to boot, the headers
# to build against, the package's version, and the Debian root to build in
# ("-": this machine).
#
#   vm/kernel.sh NAME | INSTALLED-VERSION
#
# NAME is what users call a kernel; each resolves to the newest package of
# that line in its suites:
#   6.1, 6.1-rt     Debian 12 (bookworm, -updates, -security)
#   6.12, 6.12-rt   Debian 13 (trixie, -updates, -security)
#   7.3, 7.3-rt     trixie-backports
#   next            the newest kernel in experimental
#   6.1-arm64, 6.12-arm64, 7.3-arm64
#                   the same lines' arm64 kernels, for qemu-system-aarch64;
#                   the module is cross-built for them
#   6.1-686-pae     Debian 12's i386 kernel, for qemu-system-i386
#   6.12-armmp      Debian 13's armhf kernel (the module is only built for it)
#   userland-arm64, userland-i386
#                   not a kernel: prints the folder of that guest's
#                   programs and libraries (see below)
#   root-sid        not a kernel: prints the Debian sid root, made if need be
#   6.12-debug      built here from Debian 13's linux-source-6.12 with
#                   debug.config: lockdep, KASAN, UBSAN, kmemleak, fault
#                   injection, KUnit
#   6.12-kcsan      the same with kcsan.config: KCSAN in KASAN's place
# A kernel installed on this machine, named by its version (as dkms builds
# for), is used as it is. Otherwise the packages are downloaded and
# unpacked, not installed, under MARNEL_CACHE (default ~/.cache/marnel):
# kernels/VERSION holds the image and, when the kernel belongs to this
# machine's release, the headers. A kernel of another release is built for
# inside a Debian root of that release (roots/RELEASE, made by debootstrap,
# needs root: exit status 77 without it), since its build tools are linked
# against that release's libraries: releases are never mixed on one system.
set -euo pipefail

known="6.1 6.1-rt 6.12 6.12-rt 7.3 7.3-rt next 6.12-debug 6.12-kcsan 6.1-arm64 6.12-arm64 7.3-arm64 6.1-686-pae 6.12-armmp userland-arm64 userland-i386 root-sid"
here=$(cd "$(dirname "$0")" && pwd)
name=${1:?usage: vm/kernel.sh NAME|VERSION (NAME: $known)}
if [ -r "/boot/vmlinuz-$name" ] && [ -d "/lib/modules/$name/build" ]; then
	echo "$name /boot/vmlinuz-$name /lib/modules/$name/build - -"
	exit 0
fi
flavour=
arch=amd64
# The Debian architecture, and the image's suffix where it is not that name.
case $name in
*-rt) flavour=rt- ;;
*-arm64) arch=arm64 ;;
*-686-pae) arch=i386 flavour=686-pae ;;
*-armmp) arch=armhf flavour=armmp ;;
userland-*) arch=${name#userland-} ;;
esac
case $name in
6.1 | 6.1-rt | 6.1-arm64 | 6.1-686-pae) release=bookworm suites="bookworm bookworm-updates bookworm-security" ;;
6.12 | 6.12-rt | 6.12-debug | 6.12-kcsan | 6.12-arm64 | 6.12-armmp) release=trixie suites="trixie trixie-updates trixie-security" ;;
7.3 | 7.3-rt | 7.3-arm64) release=trixie suites="trixie-backports" ;;
next | root-sid) release=sid suites="experimental" ;;
userland-arm64 | userland-i386) release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}") suites= ;;
*)
	echo "vm/kernel.sh: unknown kernel '$name'; known: $known (or an installed kernel's version)" >&2
	exit 2
	;;
esac
line=${name%%-*}

base=${MARNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marnel}
mkdir -p "$base/kernels"
exec 9>"$base/kernels/lock"
flock 9

# A private apt per release: its own sources, lists and downloads, so the
# machine's apt configuration is neither needed nor changed.
sources() {
	case $1 in
	sid) printf 'deb http://deb.debian.org/debian %s main\n' sid experimental ;;
	*)
		printf 'deb http://deb.debian.org/debian %s main\n' "$1" "$1-updates"
		echo "deb http://deb.debian.org/debian-security $1-security main"
		[ "$1" = bookworm ] || echo "deb http://deb.debian.org/debian $1-backports main"
		;;
	esac
}
# A minimal Debian root of release $1 under roots/, made once. Its marker
# is written last: a root without it (debootstrap failed or was killed), or
# whose sh does not run, is made again, never used.
make_root() {
	local root=$base/roots/$1 m
	[ ! -f "$root/.complete" ] || ! chroot "$root" sh -c : 2>/dev/null || return 0
	rm -f "$root/.complete"
	# A debootstrap that was killed leaves its /proc and /sys mounted there.
	if [ -d "$root" ]; then
		for m in $(awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r); do
			umount "$m" 2>/dev/null || umount -l "$m"
		done
	fi
	rm -rf --one-file-system "$root"
	mkdir -p "$root"
	debootstrap --variant=minbase "$1" "$root" http://deb.debian.org/debian \
		>"$root.log" 2>&1 || { tail -n 30 "$root.log" >&2; exit 1; }
	sources "$1" >"$root/etc/apt/sources.list"
	[ "$1" != sid ] || echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/50marnel"
	# Module builds there write to its /dev/null; /dev is not mounted.
	[ -c "$root/dev/null" ] || { rm -f "$root/dev/null" && mknod -m 666 "$root/dev/null" c 1 3; }
	# Headers unpacked into the old root are gone with it.
	rm -f "$base"/kernels/*/.unpacked-"$1"
	touch "$root/.complete"
}
# The root alone, for what else runs there (herd7, in sid's).
if [ "$name" = root-sid ]; then
	[ "$(id -u)" = 0 ] || { echo "vm/kernel.sh: making a Debian root needs root" >&2; exit 77; }
	make_root sid
	echo "$base/roots/sid"
	exit 0
fi
apt=$base/kernels/apt-$release
mkdir -p "$apt/lists/partial" "$apt/archives/partial"
sources "$release" >"$apt/sources.list"
apt_opts=(-q -o Dir::State="$apt" -o Dir::State::Lists="$apt/lists"
	-o Dir::Cache="$apt" -o Dir::Cache::archives="$apt/archives"
	-o Dir::Etc::SourceList="$apt/sources.list"
	-o Dir::Etc::SourceParts=/nonexistent -o Debug::NoLocking=true
	-o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=arm64)
# The 32-bit architectures' lists only for the releases of their kernels.
[ "$release" = sid ] || apt_opts+=(-o APT::Architectures::=i386 -o APT::Architectures::=armhf)
[ "$(id -u)" != 0 ] || apt_opts+=(-o APT::Sandbox::User=root)
# sid and experimental carry a Valid-Until date; an archive mirrored at
# some point in time outlives it. Signatures are still checked.
[ "$release" != sid ] || apt_opts+=(-o Acquire::Check-Valid-Until=false)
if [ -z "$(find "$apt/lists" -maxdepth 1 -name "*binary-${arch}_Packages*" -mtime -1 2>/dev/null)" ]; then
	apt-get "${apt_opts[@]}" update >"$apt/update.log" 2>&1 ||
		{ cat "$apt/update.log" >&2; exit 1; }
fi
# Another architecture's kernel's own packages by their architecture; the
# rest (kbuild's tools, the compiler) are this machine's.
qualified() {
	local p
	for p in "$@"; do
		case $p in
		*-arm64) echo "$p:arm64" ;;
		*-686-pae) echo "$p:i386" ;;
		*-armmp) echo "$p:armhf" ;;
		*) echo "$p" ;;
		esac
	done
}
field() {
	apt-cache "${apt_opts[@]}" show --no-all-versions "$(qualified "$1")" | sed -n "s/^$2: //p"
}
# A package's dependencies, first alternatives, without versions.
depends() {
	field "$1" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep .
}

download() {
	(cd "$apt/archives" && apt-get "${apt_opts[@]}" download $(qualified "$@")) >"$apt/download.log" 2>&1 ||
		{ cat "$apt/download.log" >&2; exit 1; }
}

# An arm64 or i386 guest's userland, of this machine's release: busybox,
# and the bash, dash (sh), coreutils and sed the differential corpus runs,
# with every library they and that build's programs need. The arm64 tree is
# qemu-user's prefix when the simulated driver runs the corpus here.
if [ "$name" = userland-$arch ]; then
	dir=$base/kernels/userland-$arch-$release
	if ! [ -f "$dir/.complete" ]; then
		rm -rf "$dir"
		mkdir -p "$dir"
		want="busybox-static bash dash coreutils sed libstdc++6" seen=
		while [ -n "$want" ]; do
			next=
			for p in $want; do
				case " $seen " in *" $p "*) continue ;; esac
				seen="$seen $p"
				next="$next $(apt-cache "${apt_opts[@]}" show --no-all-versions "$p:$arch" |
					sed -n 's/^\(Pre-\)\{0,1\}Depends: //p' | tr ',' '\n' |
					sed 's/|.*//; s/(.*)//; s/ //g' | grep '^lib' || true)"
			done
			want=$next
		done
		(cd "$apt/archives" && apt-get "${apt_opts[@]}" download $(printf "%s:$arch " $seen)) \
			>"$apt/download.log" 2>&1 || { cat "$apt/download.log" >&2; exit 1; }
		for p in $seen; do
			dpkg-deb -x "$(echo "$apt/archives/${p}_"*_$arch.deb)" "$dir"
		done
		rm -f "$apt/archives/"*.deb
		# Merged /usr, as an installed Debian has it.
		for d in bin sbin lib; do
			mkdir -p "$dir/usr/$d"
			if [ -d "$dir/$d" ] && ! [ -L "$dir/$d" ]; then
				cp -a "$dir/$d/." "$dir/usr/$d/" && rm -rf "${dir:?}/$d"
			fi
			ln -sfn "usr/$d" "$dir/$d"
		done
		rm -rf "$dir/usr/share" "$dir/usr/lib/"*-linux-gnu*/gconv
		touch "$dir/.complete"
	fi
	echo "$dir"
	exit 0
fi

# A debug kernel: the release's kernel source, unpacked once, and one build
# folder per flavour, named by the source's version and a digest of the
# config fragments and the compiler, so a change to either builds anew.
# Built here: a kernel built from source needs no other release's tools.
case $name in
*-debug | *-kcsan)
	pkg=linux-source-$line
	srcversion=$(field "$pkg" Version)
	[ -n "$srcversion" ] || { echo "vm/kernel.sh: no $pkg in $suites" >&2; exit 1; }
	fragments=("$here/debug.config")
	[ "$name" = "${name%-kcsan}" ] || fragments+=("$here/kcsan.config")
	key=$({ cat "${fragments[@]}"; gcc --version | head -n 1; } | sha256sum | cut -c 1-12)
	src=$base/kernels/linux-$srcversion
	out=$base/kernels/$name-$srcversion-$key
	if ! [ -f "$src/.complete" ]; then
		rm -rf "$src"
		mkdir -p "$src"
		download "$pkg"
		dpkg-deb --fsys-tarfile "$apt/archives/${pkg}_"*.deb |
			tar -x -O --wildcards './usr/src/linux-source-*.tar.xz' | xz -dc |
			tar -x -C "$src" --strip-components=1
		rm -f "$apt/archives/"*.deb
		touch "$src/.complete"
	fi
	# Minutes of building hold up only those who want this build.
	exec 8>"$out.lock"
	flock -u 9
	flock 8
	if ! [ -f "$out/.complete" ]; then
		# Builds of this flavour from other sources or fragments are stale.
		for old in "$base/kernels/$name-"*; do
			[ "${old%.lock}" = "$out" ] || rm -rf "$old"
		done
		rm -rf "$out"
		mkdir -p "$out"
		echo "vm/kernel.sh: building $name from $pkg $srcversion (minutes; log: $out/build.log)" >&2
		t0=$(date +%s)
		{
			make -C "$src" O="$out" tinyconfig &&
				"$src/scripts/kconfig/merge_config.sh" -m -O "$out" "$out/.config" "${fragments[@]}" &&
				"$src/scripts/config" --file "$out/.config" --set-str LOCALVERSION "-marnel-${name#*-}" &&
				make -C "$src" O="$out" olddefconfig
		} >"$out/build.log" 2>&1 || { tail -n 30 "$out/build.log" >&2; exit 1; }
		# Kconfig drops an option whose dependencies are not met, silently.
		unmet=$(cat "${fragments[@]}" | awk -v config="$out/.config" '
			/^CONFIG_/ { k = substr($0, 1, index($0, "=") - 1); want[k] = $0 }
			/^# CONFIG_.* is not set$/ { want[$2] = "" }
			END {
				while ((getline line < config) > 0)
					if (line ~ /^CONFIG_/) have[substr(line, 1, index(line, "=") - 1)] = line
				for (k in want)
					if (want[k] != have[k]) printf " %s", k
			}')
		[ -z "$unmet" ] || { echo "vm/kernel.sh: $name: not as asked in the config:$unmet" >&2; exit 1; }
		make -C "$src" O="$out" -j "$(nproc 2>/dev/null || echo 2)" >>"$out/build.log" 2>&1 ||
			{ tail -n 30 "$out/build.log" >&2; exit 1; }
		echo "vm/kernel.sh: built $name in $(($(date +%s) - t0)) s" >&2
		touch "$out/.complete"
	fi
	echo "$(cat "$out/include/config/kernel.release") $out/arch/x86/boot/bzImage $out $srcversion -"
	exit 0
	;;
esac

# The newest image of the line in the suites' own package lists.
esc=${line//./\\.}
case $name in
next) pattern="^linux-image-[0-9]+\\.[0-9]+[^-]*-amd64$" ;;
*-686-pae | *-armmp) pattern="^linux-image-$esc(\\.[0-9]+)?(\\+deb[0-9]+)?(-[0-9]+)?-${flavour}$" ;;
*) pattern="^linux-image-$esc(\\.[0-9]+)?(\\+deb[0-9]+)?(-[0-9]+)?-${flavour}${arch}$" ;;
esac
image=$(for suite in $suites; do
	for list in "$apt/lists/"*"_dists_${suite}_main_binary-${arch}_Packages"*; do
		[ -e "$list" ] && /usr/lib/apt/apt-helper cat-file "$list"
	done
done | sed -n 's/^Package: //p' | grep -E "$pattern" | sort -V | tail -n 1)
[ -n "$image" ] || { echo "vm/kernel.sh: no package for $name in $suites" >&2; exit 1; }
version=${image#linux-image-}
esc_version=$(printf '%s' "$version" | sed 's/[.+]/\\&/g')
debversion=$(field "$image" Version)

# An installed kernel of that version is the one to use.
if [ -r "/boot/vmlinuz-$version" ] && [ -d "/lib/modules/$version/build" ]; then
	echo "$version /boot/vmlinuz-$version /lib/modules/$version/build $debversion -"
	exit 0
fi

headers=("linux-headers-$version")
headers+=($(depends "linux-headers-$version" | grep -E '^linux-(headers|kbuild)-' || true))
here_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
kdir=$base/kernels/$version
if [ "$release" = "$here_release" ]; then
	root=-
	build=$kdir/usr/src/linux-headers-$version
	into=$kdir
else
	root=$base/roots/$release
	build=/usr/src/linux-headers-$version
	into=$root
fi

# A Debian root of the kernel's release, with the compiler and libraries
# its headers and build tools ask for, and sparse and perl for W=1 C=2.
if [ "$root" != - ] && [ "$(id -u)" != 0 ]; then
	echo "vm/kernel.sh: $name is built for in a Debian $release root, which needs root" >&2
	exit 77
fi
# Not as the right side of ||, where errexit would not reach inside it.
if [ "$root" != - ]; then
	make_root "$release"
fi
if [ "$root" != - ] && ! [ -f "$root/.tools-$version" ]; then
	tools=(make sparse perl)
	for p in "${headers[@]}"; do
		tools+=($(depends "$p" | grep -v '^linux-' || true))
	done
	# An arm kernel's headers name the native gcc-N; its cross twin builds
	# (an i386 kernel is built by the native gcc, with -m32).
	case $arch in
	arm64) tools+=($(printf '%s\n' "${tools[@]}" | sed -n 's/^gcc-[0-9]*$/&-aarch64-linux-gnu/p')) ;;
	armhf) tools+=($(printf '%s\n' "${tools[@]}" | sed -n 's/^gcc-[0-9]*$/&-arm-linux-gnueabihf/p')) ;;
	esac
	env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
		chroot "$root" sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends "$@"' \
		sh "${tools[@]}" >"$root.log" 2>&1 || { tail -n 30 "$root.log" >&2; exit 1; }
	touch "$root/.tools-$version"
fi

if ! [ -f "$kdir/.unpacked-${root##*/}" ]; then
	rm -rf "$kdir"
	mkdir -p "$kdir"
	# Newer kernels keep vmlinuz in a linux-binary package beside the
	# image, under /usr/lib/modules.
	images=("$image" $(depends "$image" | grep '^linux-binary-' || true))
	download "${images[@]}" "${headers[@]}"
	mkdir -p "$kdir/boot"
	for p in "${images[@]}"; do
		deb=$(echo "$apt/archives/${p}_"*.deb)
		member=$(dpkg-deb -c "$deb" | awk '{ print $6 }' |
			grep -E -x "\./(boot/vmlinuz-|usr/lib/modules/)$esc_version(/vmlinuz)?" || true)
		[ -z "$member" ] || dpkg-deb --fsys-tarfile "$deb" | tar -x -O "$member" >"$kdir/boot/vmlinuz-$version"
	done
	[ -s "$kdir/boot/vmlinuz-$version" ] || { echo "vm/kernel.sh: no vmlinuz in ${images[*]}" >&2; exit 1; }
	# A root's /lib links to usr/lib (merged /usr), and Debian 12's headers
	# still carry lib/modules: a plain unpack puts a folder in place of the
	# link, and the root's programs lose their loader.
	for p in "${headers[@]}"; do
		dpkg-deb --fsys-tarfile "$apt/archives/${p}_"*.deb | tar -x --keep-directory-symlink -C "$into"
	done
	# Unpacked here, the headers' Makefile names its common half, and from
	# 7.x its own folder, by the paths they would have had installed.
	[ "$root" != - ] || sed -i "s|\([ =]\)/usr/src/|\1$kdir/usr/src/|g" "$build/Makefile"
	rm -f "$apt/archives/"*.deb
	touch "$kdir/.unpacked-${root##*/}"
fi
echo "$version $kdir/boot/vmlinuz-$version $build $debversion $root"
