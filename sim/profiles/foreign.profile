# The test-only foreign driver (tests/drivers/foreign.c on its branch),
# loaded with its default size=64, as its code answers.
capacity 64
full-error EAGAIN
write-count EMSGSIZE first-record
record-text trimmed EILSEQ
read-short cut
wrong-direction-open allow
wrong-direction-call EPERM
lseek nonseekable
modes 0600 0600
status none
entry version foreign 1, size 64, fault none
