# Writing records from a shell: redirections, exec'd descriptors, spellings.
printf 12345678 >/proc/marnel/enqueue
echo "printf of 8 bytes: $?"
printf 5 >/proc/marnel/enqueue
echo "printf of 1 byte: $?"
exec 3>/proc/marnel/enqueue
printf 00000042 >&3
echo "printf to exec'd 3: $?"
exec 4>&3
exec 3>&-
printf 00000043 >&4
echo "printf to a dup of it: $?"
exec 4>&-
printf 00000007 >/proc//marnel/enqueue
printf 00000008 >/proc/./marnel/enqueue
printf 00000009 >/proc/marnel/../marnel/enqueue
(cd /proc && printf 00000010 >marnel/enqueue)
(cd /proc/marnel && printf 00000011 >enqueue)
echo "spellings: $?"
printf '%s' 00000012 00000013 >/proc/marnel/enqueue
echo "one printf, two records: $?"
{ printf 00000014; printf 00000015; } >/proc/marnel/enqueue
echo "a group: $?"
printf 00000016 | tee /proc/marnel/enqueue >/dev/null
echo "tee: $?"
printf 00000017 >>/proc/marnel/enqueue
echo "append: $?"
printf 00000018 <>/proc/marnel/enqueue
echo "read-write: $?"
printf 0000001x >/proc/marnel/enqueue
echo "malformed: $?"
