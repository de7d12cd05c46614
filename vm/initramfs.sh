# The guest's initramfs, for vm/run.sh and vm/check-driver.sh (sourced):
#
#   initramfs_root ROOT ARCH PROGRAM...
#	busybox (on arm64 and i386: Debian's userland of that architecture,
#	from kernel.sh) and a
#	few programs of this machine's, with the PROGRAMs, under ROOT; the
#	PROGRAMs and the others go to /opt/marnel, with the shared libraries
#	they need. Prints the userland folder on arm64 and i386.
#   initramfs_pack ROOT OUT
#	ROOT as a gzipped cpio archive, OUT.

initramfs_root() {
	local root=$1 arch=$2 userland= tools tool t
	shift 2
	if [ "$arch" != amd64 ]; then
		userland=$("$(dirname "${BASH_SOURCE[0]}")/kernel.sh" "userland-$arch") || return 1
		cp -a "$userland/." "$root/"
		# The guest's sh is busybox's, as on x86.
		rm -f "$root/.complete" "$root/usr/bin/sh"
		tools=$(for t in bash cat head stat ls tr tee od; do echo "$userland/usr/bin/$t"; done)
	else
		mkdir -p "$root/bin" && cp /bin/busybox "$root/bin/"
		tools=$(command -v bash cat head stat ls tr tee od)
	fi
	mkdir -p "$root"/{bin,dev,proc,sys,tmp,opt/marnel,lib/modules}
	for tool in "$@" $tools; do
		cp "$tool" "$root/opt/marnel/" || return 1
		# A script has no libraries of its own: ldd says so and fails.
		[ "$arch" != amd64 ] || { ldd "$tool" 2>/dev/null || true; } |
			awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
			while read -r lib; do cp -L --parents "$lib" "$root/"; done
	done
	echo "$userland"
}

initramfs_pack() {
	chmod +x "$1/init"
	(cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}
