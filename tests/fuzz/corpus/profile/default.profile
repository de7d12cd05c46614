# marnel driver profile: the open choices of docs/queue-driver.md
# Our drivers (driver/marnel.c and the simulated driver) loaded with the
# default capacity: what marnel-probe --profile prints for them.
capacity 1024
full-error ENOSPC
write-count EINVAL EINVAL
record-text kstrtoint EINVAL
read-short refuse EINVAL
wrong-direction-open refuse EACCES
wrong-direction-call EBADF
lseek zero
modes 0200 0400
status counters
