# Descriptors a shell hands around: exec'd, duplicated, inherited by child
# programs, closed, and what the tools print when they read an entry.
exec 3>/proc/marnel/enqueue
bash -c 'printf 00000001 >&3; echo "child bash: $?"'
sh -c 'printf 00000002 >&3; echo "child sh: $?"'
(printf 00000003 >&3)
echo "subshell: $?"
exec 4>&3 3>&-
printf 00000004 >&3
echo "closed 3: $?"
printf 00000005 >&4
echo "dup 4: $?"
exec {fd}>/proc/marnel/enqueue
printf 00000006 >&$fd
echo "named descriptor: $?"
exec {fd}>&- 4>&-
printf 00000007 | cat >/proc/marnel/enqueue
echo "cat from a pipe: $?"
printf 0000000800000009 | cat >/proc/marnel/enqueue
echo "cat of 16 bytes: $?"
exec 5</proc/marnel/dequeue
for i in 1 2 3; do
	head -c 11 <&5
	echo "head from 5: $?"
done
exec 5<&-
od -An -c /proc/marnel/dequeue
echo "od: $?"
bash -c 'read -r v </proc/marnel/dequeue; echo "read in a child: $? [$v]"'
exec 6</proc/marnel/status
read -r a <&6
read -r b <&6
echo "two lines of one open: $a / $b"
exec 6<&-
while IFS=': ' read -r k v; do echo "$k=$v"; done </proc/marnel/status
head -c 20 /proc/marnel/status
echo
cat /proc/marnel/status /proc/marnel/status | head -n 9
