# The folder and its entries, as a program that looks at them sees them.
for p in /proc/marnel /proc/marnel/enqueue /proc/marnel/dequeue /proc/marnel/status /proc/marnel/none; do
	[ -e "$p" ] && echo "$p exists"
	[ -d "$p" ] && echo "$p is a folder"
	[ -f "$p" ] && echo "$p is a regular file"
	[ -r "$p" ] && echo "$p is readable"
	[ -w "$p" ] && echo "$p is writable"
	[ -x "$p" ] && echo "$p is executable"
	[ -s "$p" ] && echo "$p has a size"
done
echo /proc/marnel/*
for p in /proc/marnel/*; do echo "entry: $p"; done
stat -c '%n %F %a %s %h' /proc/marnel/enqueue /proc/marnel/dequeue /proc/marnel/status
stat -c '%n %F %a %s' /proc/marnel
ls /proc/marnel
ls -d /proc/marnel/e*
stat -c %n /proc/marnel/none
cd /proc/marnel && ls && stat -c '%n %a' enqueue ./dequeue ../marnel/status
