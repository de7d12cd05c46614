# Records a shell can send: every kind the driver refuses (0xa0 is a blank
# to the kernel's isspace), and the queue full.
for r in '' 1234567 123456789 '+1234567' '-1234567' '0000001
' '1 ' ' 1' 0x10 '++1' '1
1' 'abcdefgh' '-' '+' 99999999 "$(printf '\2401234567')"; do
	printf '%s' "$r" >/proc/marnel/enqueue 2>/dev/null
	echo "[$r] $?"
done
i=0
while [ $i -lt 18 ]; do
	printf '%08d' $i >/proc/marnel/enqueue
	echo "fill $i: $?"
	i=$((i + 1))
done
printf 1234567x >/proc/marnel/enqueue
echo "malformed while full: $?"
printf 12345678 >/proc/marnel/enqueue/
echo "a trailing slash: $?"
printf 12345678 >/proc/marnel/none
echo "a new name: $?"
printf 12345678 >/proc/marnel
echo "the folder: $?"
cat /proc/marnel 2>&1 | sed "s/^[^:]*: //"
echo "cat of the folder: $?"
