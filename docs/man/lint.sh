#!/bin/sh
# Formats each manual page with every groff warning on; any output is a
# fault (an unknown macro, an unclosed list), since groff still exits 0.
command -v groff >/dev/null || { echo "groff not installed"; exit 77; }
status=0
for page in "$@"; do
	out=$(groff -mdoc -ww -z "$page" 2>&1)
	if [ -n "$out" ]; then
		printf '%s:\n%s\n' "$page" "$out"
		status=1
	fi
done
exit $status
