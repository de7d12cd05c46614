#!/bin/sh
# Runs the corpus against whatever driver serves /proc/marnel and prints,
# for each script, its standard output, standard error, exit status and the
# driver's counters afterwards. Two drivers that keep the same contract
# print the same text.
#
#   run.sh LOAD-COMMAND UNLOAD-COMMAND [FOLDER]
#
# Each script starts on a freshly loaded queue of capacity 16. FOLDER is
# the corpus (default corpus; host holds what needs interpreters the
# virtual machine lacks); marnel-probe runs after the default one.
set -u
load=$1
unload=$2
corpus=${3:-corpus}
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
export LC_ALL=C
for script in "$here/$corpus"/*.sh; do
	name=$(basename "$script")
	sh -c "$load" || { echo "run.sh: cannot load the driver" >&2; exit 1; }
	# Descriptors 3 to 9 closed, as in the VM: a script that opens one and
	# fails must not find one its runner inherited (a test harness's).
	(cd "$here/$corpus" && MARNEL_LOAD=$load MARNEL_UNLOAD=$unload bash "./$name") >"$out/stdout" 2>"$out/stderr" </dev/null \
		3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
	status=$?
	echo "=== $name"
	cat "$out/stdout"
	echo "--- stderr"
	cat "$out/stderr"
	echo "--- exit status $status"
	echo "--- counters"
	# A driver may have no status entry; the shells' cat say so otherwise.
	cat /proc/marnel/status 2>/dev/null || echo "(no status entry)"
	sh -c "$unload"
done
rm -rf "$out"
[ "$corpus" = corpus ] || exit 0
echo "=== marnel-probe"
sh -c "$load"
# It unloads and loads the driver itself, with these commands.
(cd / && MARNEL_LOAD=$load MARNEL_UNLOAD=$unload marnel-probe 2>&1)
sh -c "$unload"
