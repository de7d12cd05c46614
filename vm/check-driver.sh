#!/bin/bash
# Checks a queue driver module, ours or anyone's, in a virtual machine:
# boots KERNEL with MODULE.ko, loads it, runs marnel-conformance and a short
# marnel-stress against it, and prints one KTAP document: the checker's
# cases, then "stress" and "kernel-log".
#
#   vm/check-driver.sh MODULE.ko KERNEL [OPTION...]
#
# KERNEL is a name vm/kernel.sh knows (6.1, 6.12, 7.3, their -rt, next) or
# an installed kernel's version; MODULE.ko must be built for it. Options,
# in any order:
#   --param KEY=VALUE, KEY=VALUE   a module parameter (repeatable)
#   --load CMD, --unload CMD       the guest's commands (sh) to load and
#                                  unload the module, with MODULE (its path
#                                  in the guest) and PARAMS set; by default
#                                  insmod "$MODULE" $PARAMS and rmmod NAME.
#                                  Given both, the stress reloads the module
#                                  while writers and readers run.
#   --level, --clause, --skip, --timeout
#                                  passed to marnel-conformance
#   --profile-out FILE             the driver's profile (marnel-probe
#                                  --profile in the guest), for marnel-sim
#                                  load --profile; a "profile" test point
#   --differential FILE            the differential corpus's output
#                                  (tests/differential/run.sh, a queue of
#                                  its load command's), for comparison
#   --bindir DIR                   pushwell, drawwell, marnel-conformance
#                                  and marnel-stress (default
#                                  build/default/bin); not built here
# Exit status: 0 all passed, 1 any failed (boot or load included), 2 bad
# usage, 4 no VM can run here. The console goes to a file named on stderr.
# MARNEL_KILL_ROUNDS, MARNEL_BALANCED_WRITES and MARNEL_STRESS_SECONDS set
# the stress counts; MARNEL_CONFORMANCE_LIMIT bounds the checker (300 s),
# MARNEL_VM_TIMEOUT the VM (600 s); MARNEL_VM_ACCEL=tcg skips kvm;
# MARNEL_VM_EXTRA lists more programs for the guest.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/initramfs.sh"
me=check-driver
usage() {
	echo "$me: $* (usage: vm/check-driver.sh MODULE.ko KERNEL [OPTION...]; options in its header)" >&2
	exit 2
}
cannot() {
	echo "$me: cannot run a VM here: $*" >&2
	exit 4
}

[ $# -ge 2 ] || usage "a module and a kernel are needed"
ko=$1 kernel=$2
shift 2
params=() checker=() load= unload= bindir=$here/../build/default/bin profile_out= differential_out=
while [ $# -gt 0 ]; do
	opt=$1
	case $opt in
	--param | --load | --unload | --level | --clause | --skip | --timeout | --bindir | --profile-out | --differential)
		[ $# -ge 2 ] || usage "$opt needs a value"
		val=$2
		shift 2
		;;
	--param=* | --load=* | --unload=* | --level=* | --clause=* | --skip=* | --timeout=* | --bindir=* | --profile-out=* | --differential=*)
		val=${opt#*=} opt=${opt%%=*}
		shift
		;;
	-*) usage "unknown option $opt" ;;
	*=*) val=$opt opt=--param && shift ;;
	*) usage "unexpected argument $opt" ;;
	esac
	case $val in *$'\n'*) usage "$opt: a value of more than one line" ;; esac
	case $opt in
	--param)
		[[ $val =~ ^[A-Za-z_][A-Za-z0-9_]*=[^[:space:]]*$ ]] ||
			usage "--param $val: not KEY=VALUE (a value without blanks)"
		params+=("$val")
		;;
	--load) [ -n "$val" ] || usage "--load: empty" && load=$val ;;
	--unload) [ -n "$val" ] || usage "--unload: empty" && unload=$val ;;
	--level)
		case $val in core | reference) ;; *) usage "--level $val: core or reference" ;; esac
		checker+=(--level "$val")
		;;
	--clause | --skip)
		[ -n "$val" ] || usage "$opt: empty"
		checker+=("$opt" "$val")
		;;
	--timeout)
		[[ $val =~ ^[0-9]*\.?[0-9]+$ ]] && [[ ! $val =~ ^[0.]+$ ]] ||
			usage "--timeout $val: seconds, a positive number"
		checker+=(--timeout "$val")
		;;
	--bindir) bindir=$val ;;
	--profile-out | --differential)
		[ -n "$val" ] || usage "$opt: empty"
		[ $opt = --differential ] && differential_out=$val || profile_out=$val
		;;
	esac
done
[ -f "$ko" ] && [ -r "$ko" ] || usage "$ko: no such module file"
# The profile's file is made now, so that a path that cannot be written
# fails before anything boots.
for out in "$profile_out" "$differential_out"; do
	[ -z "$out" ] || : >"$out" 2>/dev/null || usage "$out: cannot be written"
done
# The .modinfo strings, read without modinfo (kmod may not be installed).
vermagic=$(tr '\0' '\n' <"$ko" | sed -n 's/^vermagic=//p' | head -n 1)
name=$(tr '\0' '\n' <"$ko" | sed -n 's/^name=//p' | head -n 1)
[ -n "$vermagic" ] || usage "$ko: not a kernel module (no vermagic)"
name=${name:-$(basename "$ko" .ko | tr - _)}
case $kernel in *-arm64 | *-debug | *-kcsan) usage "$kernel: not yet (x86 release kernels only)" ;; esac
for tool in pushwell drawwell marnel-conformance marnel-stress marnel-probe; do
	[ -x "$bindir/$tool" ] ||
		usage "$bindir/$tool is not built (cmake --preset default && cmake --build --preset default, or --bindir)"
done
bindir=$(cd "$bindir" && pwd)
for t in qemu-system-x86_64 busybox cpio gzip; do
	command -v "$t" >/dev/null || cannot "no $t"
done
[ -x /bin/busybox ] || cannot "no /bin/busybox"

status=0
found=$("$here/kernel.sh" "$kernel") || status=$?
case $status in
0) ;;
2) exit 2 ;; # kernel.sh named the kernels it knows
77) cannot "the $kernel kernel needs root" ;;
*) echo "$me: could not get the $kernel kernel" >&2 && exit 1 ;;
esac
read -r kver image _ <<<"$found"
[ "${vermagic%% *}" = "$kver" ] ||
	usage "$ko is built for ${vermagic%% *}, the $kernel kernel is $kver"

work=$(mktemp -d "${TMPDIR:-/tmp}/check-driver.XXXXXX")
console=$work/console.txt
echo "$me: console: $console" >&2

# The guest: vm/init runs check-driver-guest.sh as its scenario.
root=$work/root
mkdir -p "$root"
extra=()
[ -z "${MARNEL_VM_EXTRA:-}" ] || read -r -a extra <<<"$MARNEL_VM_EXTRA"
initramfs_out=$(initramfs_root "$root" amd64 "$bindir"/{pushwell,drawwell,marnel-conformance,marnel-stress,marnel-probe} \
	"${extra[@]}" 2>&1) || { echo "$me: the initramfs: $initramfs_out" >&2 && exit 1; }
cp "$ko" "$root/lib/modules/$name.ko"
cp "$here/init" "$root/init"
cp "$here/check-driver-guest.sh" "$root/scenario.sh"
[ -z "$differential_out" ] || cp -r "$here/../tests/differential" "$root/differential"
quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
{
	echo "MODULE=/lib/modules/$name.ko"
	echo "PARAMS=$(quote "${params[*]}")"
	echo "LOAD=$(quote "${load:-insmod \"\$MODULE\" \$PARAMS}")"
	echo "UNLOAD=$(quote "${unload:-rmmod $name}")"
	echo "RELOADS=${load:+${unload:+1}}"
	echo "PROFILE=${profile_out:+1}"
	echo "DIFFERENTIAL=${differential_out:+1}"
	echo "KILL_ROUNDS=${MARNEL_KILL_ROUNDS:-20}"
	echo "BALANCED_WRITES=${MARNEL_BALANCED_WRITES:-20000}"
	echo "STRESS_SECONDS=${MARNEL_STRESS_SECONDS:-3}"
	echo "CONFORMANCE_LIMIT=${MARNEL_CONFORMANCE_LIMIT:-300}"
	printf 'set --'
	for a in "${checker[@]}"; do printf ' %s' "$(quote "$a")"; done
	echo
} >"$root/check-driver.conf"
initramfs_pack "$root" "$work/initramfs.gz"

# kvm where this user may open it and the processor has virtualization
# (a /dev/kvm without vmx or svm, as in some nested setups, opens but runs
# no guest), qemu falling back to tcg by itself; tcg otherwise. The 7.x
# kernels' code patching wants tcg's single thread (see vm/run.sh).
tcg=(-accel tcg)
case $kver in [7-9].* | [1-9][0-9].*) tcg=(-accel tcg,thread=single) ;; esac
accel=("${tcg[@]}")
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qw -E 'vmx|svm' /proc/cpuinfo &&
	[ "${MARNEL_VM_ACCEL:-}" != tcg ]; then
	accel=(-accel kvm "${tcg[@]}")
fi
limit=${MARNEL_VM_TIMEOUT:-600}
timeout "$limit" qemu-system-x86_64 "${accel[@]}" -m 1024 -smp 2 -nographic -no-reboot \
	-kernel "$image" -initrd "$work/initramfs.gz" \
	-append "console=ttyS0 panic=-1 quiet loglevel=1" </dev/null >"$work/console.raw" 2>&1 &&
	qemu_status=0 || qemu_status=$?
tr -d '\r' <"$work/console.raw" >"$console"
ran=$(sed -n 's/^MARNEL-CHECK-ACCEL: //p' "$console")
echo "$me: $kver under qemu-system-x86_64 ${accel[*]}: ${ran:-no guest} ran" >&2

# One KTAP document out of the console's sections.
points=() # "ok|not ok<TAB>name<TAB>directive", diagnostics follow in notes
notes=()
add() { points+=("$1"$'\t'"$2"$'\t'"${3:-}"); notes+=("${4:-}"); }
header=
if ! grep -q MARNEL-VM-STARTED "$console"; then
	why="the kernel did not start init (qemu status $qemu_status)"
	[ "$qemu_status" != 124 ] || why="no result within $limit s"
	echo "$me: $why" >&2
	add "not ok" boot "" "# $why"
elif failed=$(sed -n 's/^MARNEL-CHECK-LOAD-FAILED: //p' "$console") && [ -n "$failed" ]; then
	echo "$me: the module did not load: $failed" >&2
	add "not ok" load "" "# $failed"
elif ! grep -q '^MARNEL-CHECK-STRESS: ' "$console"; then
	why="the guest stopped before its results (qemu status $qemu_status)"
	[ "$qemu_status" != 124 ] || why="no result within $limit s"
	last=$(sed -n 's/^MARNEL-CHECK-STEP: //p' "$console" | tail -n 1)
	why="$why${last:+, in step $last}"
	echo "$me: $why" >&2
	add "not ok" checks "" "# $why"
else
	ktap=$(sed -n '/^MARNEL-CHECK-KTAP-BEGIN$/,/^MARNEL-CHECK-KTAP-END$/{//!p}' "$console")
	rc=$(sed -n 's/^MARNEL-CHECK-CONFORMANCE: //p' "$console")
	cases=0 note=
	while IFS= read -r line; do
		if [[ $line =~ ^(not\ ok|ok)\ [0-9]+\ ([^#]*[^#\ ])\ *(#.*)?$ ]]; then
			[ $cases = 0 ] || notes[-1]=$note
			add "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}"
			cases=$((cases + 1)) note=
		elif [[ $line =~ ^#\ (Totals|marnel-conformance) ]] || [[ $line =~ ^(KTAP\ version|1\.\.) ]]; then
			[[ $line != "# marnel-conformance"* ]] || header=$line
			[[ $line != 1..0* ]] || note=${line#1..0 # }
		elif [ $cases -gt 0 ]; then
			note=$note${note:+$'\n'}$line
		fi
	done <<<"$ktap"
	[ $cases = 0 ] || notes[-1]=$note
	# A checker that ran nothing, or ended otherwise than it reports, is
	# a failed case of its own.
	case $rc in
	0 | 1) [ $cases -gt 0 ] || add "not ok" conformance "" "# no cases${note:+: $note}" ;;
	2) echo "$me: marnel-conformance refused its arguments: $(sed -n 's/^MARNEL-CHECK-CONFORMANCE-STDERR: //p' "$console" | head -n 1)" >&2 && exit 2 ;;
	*)
		err=$(sed -n 's/^MARNEL-CHECK-CONFORMANCE-STDERR: //p' "$console" | tail -n 1)
		add "not ok" conformance "" "# marnel-conformance exited $rc${note:+: $note}${err:+: $err}"
		;;
	esac
	# The differential corpus's output, when asked for: what the simulated
	# driver must print too, loaded with this driver's profile.
	[ -z "$differential_out" ] ||
		sed -n '/^MARNEL-DIFFERENTIAL-BEGIN$/,/^MARNEL-DIFFERENTIAL-END$/{//!p}' "$console" >"$differential_out"
	# The driver's profile, probed in the guest, when asked for.
	if [ -n "$profile_out" ]; then
		sed -n '/^MARNEL-CHECK-PROFILE-BEGIN$/,/^MARNEL-CHECK-PROFILE-END$/{//!p}' "$console" >"$profile_out"
		why=$(sed -n 's/^MARNEL-CHECK-PROFILE-OUT: /# /p' "$console")
		if [ "$(sed -n 's/^MARNEL-CHECK-PROFILE: //p' "$console")" = 0 ] && [ -s "$profile_out" ]; then
			add ok profile "" "# written to $profile_out"
		else
			: >"$profile_out"
			add "not ok" profile "" "${why:-# no profile}"
		fi
	fi
	stress=$(sed -n 's/^MARNEL-CHECK-STRESS-OUT: /# /p' "$console")
	if [ "$(sed -n 's/^MARNEL-CHECK-STRESS: //p' "$console")" = 0 ]; then
		add ok stress "" "$stress"
	else
		add "not ok" stress "" "$stress"
	fi
fi
# Any report of the kernel's, and any taint but the module's own O and E.
if grep -q MARNEL-VM-STARTED "$console"; then
	bad=$(grep -E 'BUG:|WARNING:|Oops|Kernel panic|general protection|UBSAN:|Call Trace:' "$console" | head -n 3 | sed 's/^/# /' || true)
	taint=$(sed -n 's/^taint: //p' "$console")
	case $taint in
	clean*) ;;
	'') bad=$bad${bad:+$'\n'}"# no taint reported" ;;
	*) bad=$bad${bad:+$'\n'}"# tainted: $taint" ;;
	esac
	if [ -z "$bad" ]; then add ok kernel-log; else add "not ok" kernel-log "" "$bad"; fi
fi

echo "KTAP version 1"
echo "# vm/check-driver.sh: $(basename "$ko") on $kver${header:+; ${header#\# }}"
echo "1..${#points[@]}"
pass=0 fail=0 skip=0
for i in "${!points[@]}"; do
	IFS=$'\t' read -r result pname directive <<<"${points[$i]}"
	echo "$result $((i + 1)) $pname${directive:+ $directive}"
	[ -z "${notes[$i]}" ] || printf '%s\n' "${notes[$i]}"
	if [ "$result" != ok ]; then
		fail=$((fail + 1))
	elif [[ $directive == "# SKIP"* ]]; then
		skip=$((skip + 1))
	else
		pass=$((pass + 1))
	fi
done
echo "# Totals: pass:$pass fail:$fail xfail:0 xpass:0 skip:$skip error:0"
[ $fail = 0 ]
