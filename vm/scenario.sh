# Runs inside the virtual machine: the driver contract against the kernel
# module, then pushwell and drawwell end to end. Prints one line per check;
# the exit status is the number of failed checks.
failed=0
check() {
	desc=$1
	shift
	if "$@"; then
		echo "ok: $desc"
	else
		echo "FAIL: $desc"
		failed=$((failed + 1))
	fi
}
field() {
	sed -n "s/^$1: //p" /proc/marnel/status
}
show_status() {
	echo "status $1: $(tr '\n' ' ' </proc/marnel/status)"
}
conserved() {
	[ "$(field accepted)" -eq $(($(field delivered) + $(field depth))) ]
}
ko=/lib/modules/marnel.ko
t0=$(date +%s)
# A section's title, and when it began: the VM's time is CI's.
section() {
	echo "=== $* (at $(($(date +%s) - t0)) s)"
}

# The debug kernels: kmemleak starts from a clean slate, and the fault
# injection's own messages stay out of the log.
debug=${MARNEL_DEBUG_KERNEL:-}
dbg=/sys/kernel/debug
if [ -n "$debug" ]; then
	section "the debug kernel"
	check "debugfs" mount -t debugfs debugfs $dbg
	check "kmemleak" sh -c "echo scan >$dbg/kmemleak && echo clear >$dbg/kmemleak"
	for f in failslab fail_page_alloc fail_usercopy; do
		echo 0 >$dbg/$f/verbose
	done
fi

section "the contract, against the kernel module"
check "insmod capacity=16" insmod $ko capacity=16
if [ -n "$debug" ]; then
	# The suite is a test-only module of its own, run as it loads; the
	# module proper, loaded first, must run none.
	check "marnel.ko runs no KUnit suite" sh -c '! dmesg | grep -q marnel_parse'
	check "KUnit: the record parser agrees with kstrtoint" \
		sh -c 'insmod /lib/modules/marnel_kunit.ko && rmmod marnel_kunit &&
			dmesg | grep -Eq "ok [0-9]+ marnel_parse$" && ! dmesg | grep -q "not ok"'
fi
check "module version $(cat /version)" [ "$(cat /sys/module/marnel/version)" = "$(cat /version)" ]
check "ref.permissions: enqueue is 0200" [ "$(stat -c %a /proc/marnel/enqueue)" = 200 ]
check "ref.permissions: dequeue is 0400" [ "$(stat -c %a /proc/marnel/dequeue)" = 400 ]
check "ref.permissions: status is 0444" [ "$(stat -c %a /proc/marnel/status)" = 444 ]
check "conformance, reference level" marnel-conformance --level reference --timeout 60
check "rmmod" rmmod marnel

check "insmod group=100" insmod $ko group=100
check "ref.permissions: group may write enqueue" [ "$(stat -c %a:%g /proc/marnel/enqueue)" = 220:100 ]
check "ref.permissions: group may read dequeue" [ "$(stat -c %a:%g /proc/marnel/dequeue)" = 440:100 ]
rmmod marnel
# Any gid, past INT_MAX too; (gid_t)-1 is no group.
check "insmod group=2147483648" insmod $ko group=2147483648
check "ref.permissions: a group above INT_MAX" [ "$(stat -c %a:%g /proc/marnel/dequeue)" = 440:2147483648 ]
check "ref.permissions: status stays root's" [ "$(stat -c %g /proc/marnel/status)" = 0 ]
rmmod marnel
for p in capacity=0 capacity=1048577 capacity=4294967296 capacity=-1 capacity=x capacity= \
	group=-2 group=4294967295 group=4294967296 group=x group=; do
	check "ref.load-parameters: $p is refused with EINVAL" \
		sh -c "! insmod $ko $p 2>/tmp/insmod.err && grep -q 'Invalid argument' /tmp/insmod.err"
done
check "ref.load-parameters: capacity=1048576 loads" insmod $ko capacity=1048576
rmmod marnel
check "no entries after a refused load" [ ! -e /proc/marnel ]

section "pushwell fills, drawwell drains (default capacity)"
check "insmod" insmod $ko
start=$(date +%s)
# In the foreground, so SIGINT reaches pushwell as from a terminal.
timeout -s INT 3 pushwell 42
check "pushwell ended by SIGINT" [ $? -eq 130 ]
show_status "after pushwell"
check "queue full" [ "$(field depth)" -eq 1024 ]
check "1024 accepted" [ "$(field accepted)" -eq 1024 ]
check "refusals did not stop pushwell" [ "$(field refused_full)" -gt 0 ]
out=$(drawwell)
check "drawwell exit status 255" [ $? -eq 255 ]
check "drawwell printed nothing" [ -z "$out" ]
show_status "after drawwell"
check "queue empty" [ "$(field depth)" -eq 0 ]
check "1024 delivered" [ "$(field delivered)" -eq 1024 ]
check "one end marker" [ "$(field end_markers)" -eq 1 ]
check "accepted = delivered + depth" conserved
echo "fill and drain took $(($(date +%s) - start)) s"

section "two pushwell and two drawwell at once"
check "rmmod" rmmod marnel
check "insmod capacity=64" insmod $ko capacity=64
touch /tmp/writing
# Background jobs ignore SIGINT here; SIGTERM stops them.
timeout -s TERM 3 pushwell 7 &
w1=$!
timeout -s TERM 3 pushwell 9 &
w2=$!
reader() {
	while [ -e /tmp/writing ]; do
		out=$(drawwell)
		rc=$?
		{ [ $rc -eq 255 ] && [ -z "$out" ]; } || echo "drawwell: $rc '$out'" >>/tmp/bad
		echo >>/tmp/runs
	done
}
reader &
r1=$!
reader &
r2=$!
wait $w1 $w2
rm /tmp/writing
wait $r1 $r2
drawwell
show_status "after the race"
check "every drawwell ended at the end marker, silently" [ ! -e /tmp/bad ]
echo "drawwell runs: $(wc -l </tmp/runs)"
check "values were queued" [ "$(field accepted)" -gt 0 ]
check "nothing left" [ "$(field depth)" -eq 0 ]
check "accepted = delivered + depth" conserved

section "unloading while pushwell writes"
timeout -s TERM 4 pushwell 5 &
w=$!
sleep 1
check "rmmod while the entry is open" rmmod marnel
check "entries gone" [ ! -e /proc/marnel ]
check "pushwell still running" kill -0 $w
check "insmod again" insmod $ko
sleep 1
check "ref.unload-eio: the old descriptor does not reach the new queue" [ "$(field accepted)" -eq 0 ]
wait $w
check "pushwell ended by SIGTERM" [ $? -eq 143 ]
check "rmmod" rmmod marnel

section "kill and concurrency stress"
insmod $ko capacity=1024
check "processes killed at random instants: ${MARNEL_KILL_ROUNDS:-200} rounds" \
	marnel-stress kill "${MARNEL_KILL_ROUNDS:-200}"
check "4 writers and 4 readers, 20 unloads and loads meanwhile" \
	marnel-stress concurrent "${MARNEL_STRESS_SECONDS:-10}" 20 "rmmod marnel" "insmod $ko capacity=1024"
check "4 processes each taking out what they put in, capacity 1024: none of ${MARNEL_BALANCED_WRITES:-1000000} writes refused" \
	marnel-stress balanced "${MARNEL_BALANCED_WRITES:-1000000}"
check "rmmod while a reader is held in a page fault completes once it is resolved" \
	marnel-stress-faults fault "rmmod marnel"
check "entries gone" [ ! -e /proc/marnel ]
insmod $ko
check "a read whose buffer faults while another takes the head: the bytes past the text as they were, on EFAULT too" \
	marnel-readfault tail
rmmod marnel

if [ -n "$debug" ]; then
	section "fault injection"
	echo "marnel-vm: fault injection begins" >/dev/kmsg
	insmod $ko capacity=16
	# Only the copies count: no slab cache is marked for failslab, and no
	# allocation is of order 11. (The debug kernel's own bookkeeping
	# allocates atomically, and would take some of the failures.)
	echo Y >$dbg/failslab/cache-filter
	echo 11 >$dbg/fail_page_alloc/min-order
	check "every usercopy failure: EFAULT, or a retry that delivers once; the status as it was" \
		marnel-stress-faults usercopy
	rmmod marnel
	# Now every allocation counts, those that may sleep and single pages too.
	echo N >$dbg/failslab/cache-filter
	for f in failslab fail_page_alloc; do
		echo N >$dbg/$f/ignore-gfp-wait
	done
	echo 0 >$dbg/fail_page_alloc/min-order
	check "a load failed at each allocation in turn leaves nothing behind" \
		marnel-stress-faults load-faults $ko capacity=16
	for f in failslab fail_page_alloc; do
		echo Y >$dbg/$f/ignore-gfp-wait
	done
	echo "marnel-vm: fault injection ends" >/dev/kmsg
	check "insmod after the failed loads" insmod $ko
	check "rmmod" rmmod marnel
fi

section "the differential corpus, for comparison with the simulated driver"
echo "MARNEL-DIFFERENTIAL-BEGIN"
sh /differential/run.sh "insmod $ko capacity=16" "rmmod marnel"
echo "MARNEL-DIFFERENTIAL-END"
# The module's profile, which the simulated driver replays for the same
# corpus on the host.
insmod $ko capacity=16
echo "MARNEL-PROFILE-BEGIN"
marnel-probe --profile
probed=$?
echo "MARNEL-PROFILE-END"
check "the module's profile, probed" [ $probed -eq 0 ]
rmmod marnel

if [ -n "$debug" ]; then
	section "kmemleak, with the module unloaded"
	# An object must be 5 s old to count, and one scan may miss a pointer
	# that moved: two scans, apart.
	echo scan >$dbg/kmemleak
	sleep 6
	echo scan >$dbg/kmemleak
	cat $dbg/kmemleak >/tmp/leaks
	cat /tmp/leaks
	check "kmemleak: no unreferenced object" [ ! -s /tmp/leaks ]
fi

if [ -n "$debug" ]; then
	# Last, since lockdep stops at its first report: the injection draws a
	# random number for each copy under probability, and the random pool's
	# spinlock_t under our raw spinlock is a report of the injection's own
	# (vm/run.sh leaves exactly that one out).
	section "a read whose every copy fails"
	echo "marnel-vm: persistent usercopy fault begins" >/dev/kmsg
	insmod $ko capacity=16
	# Every copy of one thread fails: the read must end. The filter first,
	# so that no other task fails meanwhile.
	echo Y >$dbg/fail_usercopy/task-filter
	echo -1 >$dbg/fail_usercopy/times
	echo 100 >$dbg/fail_usercopy/probability
	check "a read whose every copy fails: EFAULT within a second, the value kept" \
		marnel-readfault stuck
	echo 0 >$dbg/fail_usercopy/probability
	echo 1 >$dbg/fail_usercopy/times
	echo N >$dbg/fail_usercopy/task-filter
	check "rmmod after it" rmmod marnel
	echo "marnel-vm: persistent usercopy fault ends" >/dev/kmsg
fi

echo "scenario: $failed failed in $(($(date +%s) - t0)) s"
exit $failed
