# What ls and stat show, and the status entry as a file for od and cat.
ls -l /proc/marnel | while read -r m l u g s rest; do echo "$m $s"; done
ls -a /proc/marnel
ls -F /proc/marnel
ls -d /proc/marnel/*queue
cd /proc
stat -c '%n %a %s' marnel/enqueue ./marnel/../marnel/status
cd marnel
stat -c '%n %F' . enqueue
ls
cd ..
pwd
cd /
od -An -c /proc/marnel/status | head -n 2
cat </proc/marnel/status >/dev/null
echo "cat to /dev/null: $?"
tee </proc/marnel/status /proc/marnel/enqueue >/dev/null
echo "tee of status into enqueue: $?"
printf 00000008 | tee -a /proc/marnel/enqueue
echo
echo "tee -a: $?"
