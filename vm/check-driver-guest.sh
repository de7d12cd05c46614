# Runs inside the virtual machine for vm/check-driver.sh, as init's
# scenario: loads the module, runs marnel-conformance, marnel-probe
# --profile when a profile is asked for, and a short marnel-stress, unloads
# it. /check-driver.conf sets MODULE, NAME, PARAMS,
# LOAD, UNLOAD, RELOADS, the stress counts and the checker's arguments.
# The results are printed at the end, between markers, so that kernel
# messages on the console do not break into them.
. /check-driver.conf
export MODULE PARAMS
cd /tmp
# Each step is bounded, so that a driver that wedges a caller still gets
# its report; the step under way shows on the console.
step() {
	echo "MARNEL-CHECK-STEP: $1" >/dev/console
}
bounded() {
	limit=$1
	shift
	timeout -s KILL "$limit" "$@"
	rc=$?
	[ $rc != 137 ] || echo "$*: killed after $limit s" >&2
	return $rc
}

if dmesg | grep -q 'Hypervisor detected: KVM'; then
	echo "MARNEL-CHECK-ACCEL: kvm"
else
	echo "MARNEL-CHECK-ACCEL: tcg"
fi
if ! sh -c "$LOAD" >load.out 2>&1; then
	echo "MARNEL-CHECK-LOAD-FAILED: $(grep . load.out | head -n 1)"
	exit 1
fi

step conformance
bounded "$CONFORMANCE_LIMIT" marnel-conformance "$@" >ktap.out 2>ktap.err
conformance=$?

profile=
if [ -n "$PROFILE" ]; then
	step profile
	bounded 300 marnel-probe --profile >profile.out 2>profile.err
	profile=$?
fi

stress=0
{
	step "stress kill"
	bounded 120 marnel-stress kill "$KILL_ROUNDS" || stress=1
	step "stress balanced"
	bounded 120 marnel-stress balanced "$BALANCED_WRITES" || stress=1
	if [ -n "$RELOADS" ]; then
		step "stress concurrent"
		bounded 120 marnel-stress concurrent "$STRESS_SECONDS" 5 "$UNLOAD" "$LOAD" || stress=1
	fi
} >stress.out 2>&1

step unload
bounded 30 sh -c "$UNLOAD" >unload.out 2>&1 || echo "unload: $(grep . unload.out | head -n 1)" >>stress.out

# The corpus loads and unloads the driver itself, for each of its scripts.
if [ -n "$DIFFERENTIAL" ]; then
	step differential
	bounded 300 sh /differential/run.sh "$LOAD" "$UNLOAD" >differential.out 2>&1
fi

echo "MARNEL-CHECK-CONFORMANCE: $conformance"
echo "MARNEL-CHECK-KTAP-BEGIN"
cat ktap.out
echo "MARNEL-CHECK-KTAP-END"
sed 's/^/MARNEL-CHECK-CONFORMANCE-STDERR: /' ktap.err
if [ -n "$profile" ]; then
	echo "MARNEL-CHECK-PROFILE: $profile"
	if [ "$profile" = 0 ]; then
		echo "MARNEL-CHECK-PROFILE-BEGIN"
		cat profile.out
		echo "MARNEL-CHECK-PROFILE-END"
	else
		sed 's/^/MARNEL-CHECK-PROFILE-OUT: /' profile.out profile.err
	fi
fi
if [ -n "$DIFFERENTIAL" ]; then
	echo "MARNEL-DIFFERENTIAL-BEGIN"
	cat differential.out
	echo "MARNEL-DIFFERENTIAL-END"
fi
echo "MARNEL-CHECK-STRESS: $stress"
sed 's/^/MARNEL-CHECK-STRESS-OUT: /' stress.out
exit $((conformance != 0 || stress != 0 || ${profile:-0} != 0))
