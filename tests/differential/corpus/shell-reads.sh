# Reading from a shell: values leave the queue, yet read, cat and head see
# a read that returns 0 as the end of the file and print nothing.
for v in 1 2 3 4 5 6; do printf "%-8s" "$v" | tr ' ' '\0' >/proc/marnel/enqueue; done
read -r line </proc/marnel/dequeue
echo "read: $? [$line]"
cat /proc/marnel/dequeue
echo "cat: $?"
head -c 11 /proc/marnel/dequeue
echo "head: $?"
exec 5</proc/marnel/dequeue
cat <&5
echo "cat from exec'd 5: $?"
exec 5<&-
while read -r l; do echo "status: $l"; done </proc/marnel/status
cat /proc/marnel/status
head -n 2 /proc/marnel/status
cat /proc/marnel/dequeue >/proc/marnel/enqueue
echo "dequeue to enqueue: $?"
cat /proc/marnel/enqueue
echo "cat of enqueue: $?"
printf 00000001 >/proc/marnel/dequeue
echo "write to dequeue: $?"
