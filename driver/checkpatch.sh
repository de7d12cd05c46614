#!/bin/sh
# The kernel's own style checker on the module and the test-only modules
# in tests/drivers, with --strict: not one
# error, warning or check. checkpatch.pl comes from the linux-source
# package of this machine's release, unpacked once under MARNEL_CACHE
# (default ~/.cache/marnel).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cache=${MARNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marnel}/checkpatch
pkg=$(apt-cache depends linux-source 2>/dev/null | sed -n 's/^ *Depends: //p' | head -n 1)
if [ -z "$pkg" ]; then
	echo "SKIPPED: apt knows no linux-source package (apt-get update?)"
	exit 77
fi
dir=$cache/$pkg
if ! [ -f "$dir/.complete" ]; then
	rm -rf "$dir"
	mkdir -p "$dir"
	(cd "$dir" && apt-get -q download "$pkg") >"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
	# Only the checker and the word lists it reads, out of the whole tree.
	dpkg-deb --fsys-tarfile "$dir"/*.deb | tar -xO --wildcards './usr/src/linux-source-*.tar.xz' |
		xz -dc | tar -x -C "$dir" --strip-components=1 --wildcards '*/scripts/checkpatch.pl' \
		'*/scripts/spelling.txt' '*/scripts/const_structs.checkpatch'
	rm -f "$dir"/*.deb "$dir.log"
	touch "$dir/.complete"
fi
out=$(perl "$dir/scripts/checkpatch.pl" --strict --no-tree --no-summary --terse \
	-f "$here/marnel.c" "$here/marnel_parse.h" "$here/../tests/drivers/"*.c) || true
if [ -n "$out" ]; then
	printf '%s\n' "$out"
	echo "checkpatch ($pkg): the findings above"
	exit 1
fi
echo "checkpatch ($pkg) --strict: clean"
