"""A one-file FUSE file system whose file reads come up short, for tests of a load that fails.

The directory holds a single file that reports a given size, hands out the first bytes of its
content on the first read and fails every read past them with EIO: a real short read that the
loading program cannot tell from a failing disk. Served by a thread over /dev/fuse with the
kernel's wire protocol (stdlib only); needs root.
"""

import ctypes
import errno
import os
import stat
import struct
import threading

# Opcodes and sizes of the FUSE protocol, version 7.19 (every kernel since 3.x speaks it).
LOOKUP, FORGET, GETATTR, OPEN, READ, STATFS, RELEASE = 1, 2, 3, 14, 15, 17, 18
FLUSH, INIT, OPENDIR, READDIR, RELEASEDIR, DESTROY, BATCH_FORGET = 25, 26, 27, 28, 29, 38, 42
NO_REPLY = {FORGET, BATCH_FORGET}
IN_HEADER = struct.Struct("<IIQQIIII")
OUT_HEADER = struct.Struct("<IiQ")
ATTR = struct.Struct("<QQQQQQIIIIIIIIII")
FOPEN_DIRECT_IO = 1
ROOT, FILE = 1, 2


class FailingReadFs:
    def __init__(self, mount_dir, name, size, good_bytes):
        self.mount_dir = mount_dir
        self.name = name.encode()
        self.size = size
        self.good = good_bytes
        self.fd = -1
        self.thread = None

    def __enter__(self):
        os.makedirs(self.mount_dir, exist_ok=True)
        self.fd = os.open("/dev/fuse", os.O_RDWR)
        libc = ctypes.CDLL(None, use_errno=True)
        options = f"fd={self.fd},rootmode=40000,user_id=0,group_id=0".encode()
        if libc.mount(b"failing_read_fs", self.mount_dir.encode(), b"fuse", 0, options) != 0:
            err = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(err, "mount fuse: " + os.strerror(err))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.umount2(self.mount_dir.encode(), 2)  # MNT_DETACH: never blocks on a busy mount
        os.close(self.fd)
        self.thread.join(timeout=10)

    def _attr(self, node):
        if node == ROOT:
            return ATTR.pack(ROOT, 0, 0, 0, 0, 0, 0, 0, 0, stat.S_IFDIR | 0o755, 2, 0, 0, 0, 4096, 0)
        return ATTR.pack(FILE, self.size, 1, 0, 0, 0, 0, 0, 0, stat.S_IFREG | 0o644, 1, 0, 0, 0,
                         4096, 0)

    def _entry(self, node):
        return struct.pack("<QQQQII", node, 0, 0, 0, 0, 0) + self._attr(node)

    def _dirents(self):
        out = b""
        for index, (node, name, kind) in enumerate(
                [(ROOT, b".", 4), (ROOT, b"..", 4), (FILE, self.name, 8)], start=1):
            entry = struct.pack("<QQII", node, index, len(name), kind) + name
            out += entry + b"\0" * (-len(entry) % 8)
        return out

    def _answer(self, opcode, node, body):
        """Returns (error, payload) for one request."""
        if opcode == INIT:
            major, minor, readahead, _ = struct.unpack_from("<IIII", body)
            return 0, struct.pack("<IIIIHHI", 7, 19, readahead, 0, 16, 12, 65536)
        if opcode == LOOKUP:
            return (0, self._entry(FILE)) if body.rstrip(b"\0") == self.name else (errno.ENOENT, b"")
        if opcode == GETATTR:
            return 0, struct.pack("<QII", 0, 0, 0) + self._attr(node)
        if opcode in (OPEN, OPENDIR):
            return 0, struct.pack("<QII", 0, FOPEN_DIRECT_IO if opcode == OPEN else 0, 0)
        if opcode == READ:
            _, offset, size = struct.unpack_from("<QQI", body)
            if offset >= self.good:
                return errno.EIO, b""
            return 0, b"\x7f" * min(size, self.good - offset)
        if opcode == READDIR:
            _, offset, size = struct.unpack_from("<QQI", body)
            return 0, (self._dirents() if offset == 0 else b"")[:size]
        if opcode == STATFS:
            return 0, struct.pack("<QQQQQIII", 0, 0, 0, 0, 0, 4096, 255, 4096) + b"\0" * 28
        if opcode in (RELEASE, RELEASEDIR, FLUSH):
            return 0, b""
        return errno.ENOSYS, b""

    def _serve(self):
        while True:
            try:
                request = os.read(self.fd, 1 << 17)
            except OSError as error:
                if error.errno in (errno.EINTR, errno.EAGAIN, errno.ENOENT):
                    continue
                return  # ENODEV once unmounted
            length, opcode, unique, node, *_ = IN_HEADER.unpack_from(request)
            if opcode in NO_REPLY:
                continue
            error, payload = self._answer(opcode, node, request[IN_HEADER.size:length])
            reply = OUT_HEADER.pack(OUT_HEADER.size + len(payload), -error, unique) + payload
            try:
                os.write(self.fd, reply)
            except OSError:
                return
            if opcode == DESTROY:
                return
