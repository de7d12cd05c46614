# Descriptors that outlive the driver, also in programs started after the
# unload and after a new load; the commands come from run.sh.
exec 3>/proc/marnel/enqueue 4</proc/marnel/status 5</proc/marnel/dequeue
printf 00000001 >&3
read -r first <&4
echo "before: $first"
sh -c "$MARNEL_UNLOAD"
printf 00000002 >&3
echo "write after unload: $?"
read -r second <&4
echo "status after unload: $? [$second]"
bash -c 'printf 00000003 >&3; echo "write in a child: $?"'
[ -e /proc/marnel ] || echo "no /proc/marnel"
ls /proc/marnel/ 2>&1 | sed 's/^[^:]*: //'
printf 00000004 >/proc/marnel/enqueue
echo "a new open: $?"
sh -c "$MARNEL_LOAD"
printf 00000005 >&3
echo "old descriptor after load: $?"
bash -c 'printf 00000006 >&3; echo "old descriptor in a child after load: $?"'
head -c 11 <&5
echo "old dequeue after load: $?"
printf 00000007 >/proc/marnel/enqueue
echo "a new open after load: $?"
exec 3>&- 4<&- 5<&-
