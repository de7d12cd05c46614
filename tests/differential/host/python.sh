# Python: unbuffered and buffered files, os.read, readinto, vectors.
python3 - <<'EOF'
import os
w = open('/proc/marnel/enqueue', 'wb', buffering=0)
for v in (b'00000001', b'00000002', b'00000003', b'-0000004', b'00000005'):
    print('write', v.decode(), w.write(v))
try:
    w.write(b'5')
except OSError as e:
    print('write of 1 byte:', e.strerror)
print('writev', os.writev(w.fileno(), [b'00000006', b'00000007']))
w.close()
fd = os.open('/proc/marnel/dequeue', os.O_RDONLY)
print('os.read', os.read(fd, 11))
b = bytearray(12)
with open('/proc/marnel/dequeue', 'rb', buffering=0) as f:
    print('readinto', f.readinto(b), bytes(b).split(b'\0')[0].decode())
print('os.readv', os.readv(fd, [b]), bytes(b).split(b'\0')[0].decode())
print('os.pread', os.pread(fd, 11, 0))
os.close(fd)
with open('/proc/marnel/status') as f:
    print(f.read().split('\n')[:3])
with open('/proc/marnel/enqueue', 'w') as f:
    f.write('00000008')
print(oct(os.stat('/proc/marnel/dequeue').st_mode & 0o777), os.path.isdir('/proc/marnel'),
      sorted(os.listdir('/proc/marnel')), os.path.exists('/proc/marnel/none'))
try:
    open('/proc/marnel/dequeue', 'wb')
except OSError as e:
    print('open dequeue for writing:', e.strerror)
EOF
# A value read from a shell: a read that delivers returns 0, so the text
# is what the buffer holds up to its NUL.
python3 -c 'b = bytearray(12); open("/proc/marnel/dequeue", "rb", buffering=0).readinto(b); print(b.split(b"\0")[0].decode())'
