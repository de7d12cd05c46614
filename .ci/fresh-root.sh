#!/bin/bash
# A new machine: fresh minimal Debian roots made with debootstrap.
#
#   .ci/fresh-root.sh [PACKAGEDIR]
#
# In one, with a clone of this commit: as a user, ./demo.sh must name the
# apt-get line and exit 1 without touching anything; as root it must
# install what it needs, then fill and drain the queue. In a second, made
# from the same tarball, marnel-tools from PACKAGEDIR is installed with
# apt-get and run from PATH.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packages=${1:+$(cd "$1" && pwd)}
base=$(mktemp -d /var/tmp/marnel-root.XXXXXX)
root=$base/demo
mounted=()

cleanup() {
	local m
	for m in "${mounted[@]}"; do
		umount "$m" 2>/dev/null || umount -l "$m" || true
	done
	# Never follow a mount that failed to go into the host's /dev or /proc.
	rm -rf --one-file-system "$base"
}
trap cleanup EXIT
# A root from the tarball, with /proc, /sys and /dev bound.
new_root() {
	mkdir -p "$1"
	chmod 755 "$1"
	tar -C "$1" -xf "$base/root.tar"
	for fs in proc sys dev; do
		mount --bind "/$fs" "$1/$fs"
		mounted=("$1/$fs" "${mounted[@]}")
	done
}
fail() {
	echo "fresh root: FAILED: $*" >&2
	exit 1
}
in_root() {
	local user=$1
	shift
	chroot --userspec="$user:$user" "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
		HOME="$(chroot "$root" getent passwd "$user" | cut -d: -f6)" CI="${CI:-}" "$@"
}

started=$(date +%s)
echo "fresh root: debootstrap --variant=minbase bookworm $base/made"
debootstrap --variant=minbase bookworm "$base/made" >"$base/log" 2>&1 ||
	{ tail -n 30 "$base/log"; fail "debootstrap"; }
tar -C "$base/made" -cf "$base/root.tar" .
rm -rf --one-file-system "$base/made"
new_root "$root"
git clone -q "$repo" "$root/src/marnel"
chroot "$root" useradd --create-home newcomer
echo "fresh root: made in $(($(date +%s) - started)) s"

echo "fresh root: ./demo.sh as a user without the packages"
set +e
out=$(in_root newcomer sh -c 'cd /src/marnel && ./demo.sh' 2>&1)
status=$?
set -e
printf '%s\n' "$out"
[ "$status" = 1 ] || fail "exit status $status, not 1"
printf '%s\n' "$out" | grep -q 'sudo apt-get install .*cmake' || fail "no apt-get line"
[ ! -e "$root/src/marnel/build" ] || fail "it built before saying what is missing"

echo "fresh root: ./demo.sh as root"
in_root root sh -c 'cd /src/marnel && ./demo.sh' 2>&1 | tee "$base/log" ||
	fail "./demo.sh as root"
grep -qx 'depth: 100' "$base/log" || fail "pushwell did not fill the queue"
grep -qx 'delivered: 100' "$base/log" || fail "drawwell did not drain the queue"

if [ -n "$packages" ]; then
	root=$base/package
	new_root "$root"
	cp "$packages"/marnel-tools_*.deb "$root/tmp/"
	echo "fresh root: apt-get install ./marnel-tools_*.deb, then the tools from PATH"
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
echo "fresh root: PASSED in $(($(date +%s) - started)) s"
