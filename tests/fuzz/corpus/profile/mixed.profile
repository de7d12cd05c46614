# Answers neither of the known drivers gives together.
capacity 3
full-error EBUSY
write-count EINVAL first-record
record-text trimmed EINVAL
read-short cut
wrong-direction-open refuse EPERM
wrong-direction-call EBADF
lseek zero
modes 0220 0440
status none
entry a-b.c x  y
entry version 2
