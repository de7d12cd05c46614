#!/bin/bash
# The README's first command on a new machine: a fresh minimal Debian root
# with a clone of this commit. As a user there, ./demo.sh must name the
# apt-get line and exit 1 without touching anything; as root it must
# install what it needs, then fill and drain the queue.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d /var/tmp/marnel-root.XXXXXX)
chmod 755 "$root"
mounted=()

cleanup() {
	local m
	for m in "${mounted[@]}"; do
		umount "$m" 2>/dev/null || umount -l "$m" || true
	done
	# Never follow a mount that failed to go into the host's /dev or /proc.
	rm -rf --one-file-system "$root" "$root.log"
}
trap cleanup EXIT
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
echo "fresh root: debootstrap --variant=minbase bookworm $root"
debootstrap --variant=minbase bookworm "$root" >"$root.log" 2>&1 ||
	{ tail -n 30 "$root.log"; fail "debootstrap"; }
for fs in proc sys dev; do
	mount --bind "/$fs" "$root/$fs"
	mounted=("$root/$fs" "${mounted[@]}")
done
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
in_root root sh -c 'cd /src/marnel && ./demo.sh' 2>&1 | tee "$root.log" ||
	fail "./demo.sh as root"
grep -qx 'depth: 100' "$root.log" || fail "pushwell did not fill the queue"
grep -qx 'delivered: 100' "$root.log" || fail "drawwell did not drain the queue"
echo "fresh root: PASSED in $(($(date +%s) - started)) s"
