# dash, /bin/sh on Debian: redirections, exec, read, a folder as cwd.
dash -c '
printf 00000021 >/proc/marnel/enqueue; echo "printf: $?"
echo 1234567 >/proc/marnel/enqueue; echo "echo of 8 bytes: $?"
exec 3>/proc/marnel/enqueue; printf 00000022 >&3; echo "exec: $?"; exec 3>&-
printf 5 >/proc/marnel/enqueue; echo "1 byte: $?"
read v </proc/marnel/dequeue; echo "read: $? [$v]"
while read l; do echo "$l"; done </proc/marnel/status
cd /proc/marnel && echo * && [ -f enqueue ] && echo "enqueue is a file" && pwd
'
