#!/bin/bash
# Checks the litmus tests beside this file with herd7: lkmm-* under the
# Linux kernel memory model, c11-* under RC11. Each must answer Never;
# each control below (a test weakened in one place) must answer
# Sometimes, or the test could not fail. herd7 runs in the Debian sid root
# that vm/kernel.sh also makes and uses (herdtools7 is in sid only); the
# model's files come from a Debian linux-source, kept under MARNEL_CACHE.
# Needs root (debootstrap, chroot): exit status 77 without it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" != 0 ]; then
	echo "SKIPPED: litmus: herd7 runs in a Debian sid root, which needs root"
	exit 77
fi
base=${MARNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marnel}
lkmm=$base/lkmm
in_root() {
	env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive chroot "$root" "$@"
}

# The root vm/kernel.sh makes, and its lock while installing into it.
root=$("$here/../../vm/kernel.sh" root-sid)
exec 9>"$base/kernels/lock"
flock 9
log=$base/roots/sid-litmus.log
if ! [ -x "$root/usr/bin/herd7" ]; then
	in_root sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends herdtools7' \
		>"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }
fi
# The model's five files: from the source vm/kernel.sh unpacked, if any,
# else from sid's linux-source.
files=(linux-kernel.cfg linux-kernel.bell linux-kernel.cat linux-kernel.def lock.cat)
if ! [ -f "$lkmm/.complete" ]; then
	rm -rf "$lkmm"
	mkdir -p "$lkmm"
	src=
	for dir in "$base"/kernels/linux-*/; do
		[ -f "$dir.complete" ] && [ -f "$dir/tools/memory-model/lock.cat" ] && src=$dir
	done
	if [ -n "$src" ]; then
		(cd "$src/tools/memory-model" && cp "${files[@]}" "$lkmm/")
		echo "${src%/}" >"$lkmm/.source"
	else
		in_root sh -c 'cd /tmp && rm -f linux-source-*.deb && apt-get update -q &&
			apt-get download -q "$(apt-cache depends linux-source | sed -n "s/^ *Depends: //p" | head -n 1)"' \
			>"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }
		deb=$(echo "$root"/tmp/linux-source-*.deb)
		dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './usr/src/linux-source-*.tar.xz' |
			xz -dc | tar -x -C "$lkmm" --strip-components=3 --wildcards "${files[@]/#/*/tools/memory-model/}"
		rm -f "$deb"
		basename "$deb" .deb >"$lkmm/.source"
	fi
	touch "$lkmm/.complete"
fi
flock -u 9

work=$(mktemp -d "$root/tmp/litmus.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$here"/*.litmus "${files[@]/#/$lkmm/}" "$work/"
names=()
for file in "$here"/*.litmus; do
	names+=("$(basename "$file" .litmus)")
done
# Controls: a test, what is weakened, and the sed that weakens it.
controls=(
	lkmm-depth "its caller's message unordered"
	's/smp_store_release(taken, 1)/WRITE_ONCE(*taken, 1)/; s/smp_load_acquire(taken)/READ_ONCE(*taken)/'
	c11-retire "reclaim's load of inflight acquire, not seq_cst"
	's/load_explicit(inflight, memory_order_seq_cst)/load_explicit(inflight, memory_order_acquire)/'
)
declare -A weakened
for ((i = 0; i < ${#controls[@]}; i += 3)); do
	t=${controls[i]}-weakened
	sed "1s/\$/-weakened/; ${controls[i + 2]}" "$work/${controls[i]}.litmus" >"$work/$t.litmus"
	if [ "$(sed 1d "$work/${controls[i]}.litmus")" = "$(sed 1d "$work/$t.litmus")" ]; then
		echo "$t: the sed changed nothing" >&2
		exit 1
	fi
	weakened[$t]=${controls[i + 1]}
	names+=("$t")
done

echo "litmus: herd7 $(in_root herd7 -version | cut -d, -f1); LKMM of $(basename "$(cat "$lkmm/.source")")"
failed=0
for name in "${names[@]}"; do
	case $name in
	lkmm-*) model=linux-kernel args=(-conf linux-kernel.cfg) ;;
	*) model=rc11 args=(-model rc11.cat) ;;
	esac
	want=Never
	[ -z "${weakened[$name]:-}" ] || want=Sometimes
	out=$(in_root sh -c 'cd "$1" && shift && exec herd7 "$@"' sh "/tmp/${work##*/}" \
		"${args[@]}" "$name.litmus" 2>&1) || true
	got=$(printf '%s\n' "$out" | sed -n "s/^Observation $name \([A-Za-z]*\) .*/\1/p")
	# A flag (a data race, undefined behaviour) makes the answer worthless.
	flags=$(printf '%s\n' "$out" | grep '^Flag' | paste -sd ' ' - || true)
	note=${weakened[$name]:-}
	echo "$name: ${got:-no answer} ($model${note:+; $note}${flags:+; $flags})"
	if [ "$got" != "$want" ] || [ -n "$flags" ]; then
		printf '%s\n' "$out" | sed 's/^/    /'
		echo "$name: wanted $want" >&2
		failed=1
	fi
done
exit $failed
