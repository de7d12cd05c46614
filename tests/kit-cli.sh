#!/bin/sh
# The kit's command lines: --help and --version on standard output with
# status 0, bad usage as one line on standard error with status 2.
#   kit-cli.sh BINDIR VERSION
set -u
bin=$1
version=$2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failed=0
# expect STATUS STDOUT-PATTERN|- STDERR-LINES COMMAND... (-: no output)
expect() {
	want=$1 pattern=$2 lines=$3
	shift 3
	"$bin/$@" >"$out" 2>"$err" </dev/null
	status=$?
	if [ "$pattern" = - ]; then
		[ ! -s "$out" ]
	else
		grep -q -- "$pattern" "$out"
	fi
	if [ $? != 0 ] || [ $status != "$want" ] ||
		[ "$(wc -l <"$err")" != "$lines" ]; then
		echo "FAILED: $*: status $status, stdout:"
		cat "$out"
		echo "stderr:"
		cat "$err"
		failed=1
	fi
}
for tool in marnel-stress marnel-probe marnel-bench; do
	expect 0 "^usage: $tool" 0 $tool --help
	expect 0 "^$tool $version\$" 0 $tool --version
	expect 2 - 1 $tool --no-such-option
done
expect 2 - 1 marnel-stress
expect 2 - 1 marnel-stress no-such-mode 1
expect 2 - 1 marnel-stress kill 10x
expect 2 - 1 marnel-stress concurrent 0
expect 2 - 1 marnel-stress concurrent 1 2 "true"
expect 2 - 1 marnel-stress balanced 3
expect 2 - 1 marnel-probe extra
expect 2 - 1 marnel-bench
expect 2 - 1 marnel-bench no-such-figure
expect 2 - 1 marnel-bench rate 1 neither true
expect 2 - 1 marnel-bench turns 1 0 -
expect 2 - 1 marnel-bench growth 2 1 true
expect 2 - 1 marnel-bench filldrain -5
expect 2 - 1 marnel-bench rates 1 2
# No driver here: one line, status 4.
expect 4 - 1 marnel-bench rates
expect 4 - 1 marnel-bench fill
exit $failed
