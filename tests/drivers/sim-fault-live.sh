#!/bin/sh
# One fault of the faulty simulated driver (MARNEL_SIM_LIB) is live: the
# same calls answer as the contract says with no fault chosen, and as the
# fault's row below says with it.
#   sim-fault-live.sh MARNEL-SIM FAULT [SECONDS]
set -u
sim=$1
fault=$2
bound=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)

# Each argument one call: "take" is an 11-byte read of dequeue into dots,
# shown as RESULT:TEXT, the text up to the first NUL; a number is a write of
# its record, shown as its result. A refused call shows its errno's name.
calls='
import errno, os, sys
enq = os.open("/proc/marnel/enqueue", os.O_WRONLY)
deq = os.open("/proc/marnel/dequeue", os.O_RDONLY)
for call in sys.argv[1:]:
    try:
        if call == "take":
            b = bytearray(b"." * 11)
            shown = "%d:%s" % (os.readv(deq, [b]), b.split(b"\0")[0].decode())
        else:
            shown = str(os.write(enq, call.encode().ljust(8, b"\0")))
    except OSError as e:
        shown = errno.errorcode[e.errno]
    print(shown, flush=True)
'

# The calls on a fresh queue of capacity 3, in one line; TIMEOUT when they
# are still waiting after the bound.
answers() {
	out=$(MARNEL_SIM_FAULT=$1 sh "$here/../with-sim.sh" "$sim" 3 timeout "$bound" \
		python3 -c "$calls" take 1 -2 3 4 take take take take)
	[ $? -eq 124 ] && out="$out TIMEOUT"
	echo $out
}

sound='0:-1 8 8 8 ENOSPC 0:1 0:-2 0:3 0:-1'
case $fault in
read-reports-count) want='0:-1 8 8 8 ENOSPC 1:1 2:-2 1:3 0:-1' ;;
lifo) want='0:-1 8 8 8 ENOSPC 0:3 0:-2 0:1 0:-1' ;;
changed-value) want='0:-1 8 8 8 ENOSPC 0:2 0:-1 0:4 0:-1' ;;
write-drops) want='0:-1 8 8 8 8 0:1 0:3 0:-1 0:-1' ;;
no-end-marker) want='0:0 8 8 8 ENOSPC 0:1 0:-2 0:3 0:0' ;;
duplicate) want='0:-1 8 8 8 ENOSPC 0:1 0:-2 0:3 0:3' ;;
read-blocks) want='TIMEOUT' ;;
no-text-end) want='0:-1 8 8 8 ENOSPC 0:17......... 0:-27........ 0:37......... 0:-1' ;;
write-blocks-full) want='0:-1 8 8 8 TIMEOUT' ;;
refuses-records) want='0:-1 8 EINVAL 8 8 0:1 0:3 0:4 0:-1' ;;
*) echo "no row for the fault $fault"; exit 1 ;;
esac

status=0
for run in "none:$sound" "$fault:$want"; do
	name=${run%%:*}
	expected=${run#*:}
	got=$(answers "$([ "$name" = none ] || echo "$name")")
	if [ "$got" = "$expected" ]; then
		echo "$name: $got"
	else
		printf '%s: expected %s\n%s: got      %s\n' "$name" "$expected" "$name" "$got"
		status=1
	fi
done
exit $status
