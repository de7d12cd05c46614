# Runs inside the virtual machine in place of vm/scenario.sh, after a line
# that sets pairs, rounds and secs: the kernel module's figures for bench/run.sh,
# one "BENCH KEY PAIR X Y" line per measurement, the figure being X/Y. The
# exit status is the number of measurements that failed.
ko=/lib/modules/marnel.ko
failed=0
bad() {
	echo "bench: $*"
	failed=$((failed + 1))
}
median() {
	printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.9g\n", v[int((NR + 1) / 2)] }'
}
# A and B of pair $1, each the median of $rounds runs, alternating A and B:
# the host's other work reaches the VM in bursts, which short alternating
# runs spread over both and the median leaves out.
ab() {
	sa='' sb=''
	for k in $(seq "$rounds"); do
		if [ $((($1 + k) % 2)) = 1 ]; then
			a=$(eval "$2") || bad "$2"
			b=$(eval "$3") || bad "$3"
		else
			b=$(eval "$3") || bad "$3"
			a=$(eval "$2") || bad "$2"
		fi
		sa="$sa $a" sb="$sb $b"
	done
	A=$(median $sa) B=$(median $sb)
}
fill() {
	[ "$(marnel-bench fill)" = "$1" ] && return
	echo "bench: the queue was not empty before a fill of $1" >&2
	return 1
}

echo "=== pushwell against a bare loop, and a write's cost, on a full queue"
insmod $ko capacity=1024
fill 1024 || bad "fill"
for i in $(seq "$pairs"); do
	ab "$i" "marnel-bench rate $secs status pushwell 42" \
		"marnel-bench rate $secs status bench-bare-write 42"
	echo "BENCH push.module $i $A $B"
done
for i in $(seq "$pairs"); do
	ab "$i" "marnel-bench turns $secs 1 /proc/marnel/enqueue" \
		"marnel-bench turns $secs 1 /dev/null"
	echo "BENCH cost.module $i $B $A"
done
rmmod marnel

echo "=== drawwell against a bare drain loop, 65536 values"
insmod $ko capacity=65536
for i in $(seq "$pairs"); do
	ab "$i" "fill 65536 && marnel-bench time drawwell" \
		"fill 65536 && marnel-bench time bench-bare-drain"
	echo "BENCH drain.module $i $B $A"
done
rmmod marnel

echo "=== fill and drain per value, capacities 1024, 16384, 65536 and 1048576"
# Each capacity's time is the fastest of 5 runs of 131072 values, the
# capacities taken in turn within each of the 5 rounds: tcg's timing only
# ever gains from the host's other work, and a burst of it lasting seconds
# then slows every capacity's run of one round, not all runs of one
# capacity. The largest ring is reported against 65536 on its own.
once() {
	insmod $ko capacity=$1
	v=$(marnel-bench filldrain $2)
	s=$?
	rmmod marnel
	echo "$v"
	return $s
}
caps="1024 16384 65536"
for i in $(seq "$pairs"); do
	# Each order in turn, so no capacity always runs first.
	[ $((i % 2)) = 1 ] || caps=$(echo "$caps" | awk '{ print $3, $2, $1 }')
	runs=
	for k in 1 2 3 4 5; do
		for c in $caps; do
			v=$(once $c 131072) || bad "filldrain at $c"
			runs="$runs $c:$v"
		done
	done
	line=
	for c in $caps; do
		v=$(printf '%s\n' $runs | sed -n "s/^$c://p" | sort -g | head -n 1)
		echo "CAPACITY module $c $v"
		line="$line $v"
		[ $c != 65536 ] || v65536=$v
	done
	echo "$line" | awk -v i="$i" '{ lo = hi = $1; for (f = 2; f <= NF; f++) {
		if ($f < lo) lo = $f; if ($f > hi) hi = $f } print "BENCH scale.module", i, hi, lo }'
	v=$(once 1048576 1048576) || bad "filldrain at 1048576"
	echo "CAPACITY module 1048576 $v"
	echo "BENCH scale.module.big $i $v $v65536"
done

echo "bench: $failed failed"
exit $failed
