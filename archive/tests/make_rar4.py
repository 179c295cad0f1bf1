#!/usr/bin/env python3
"""Writes a stored (uncompressed) RAR 1.5-4.x archive: make_rar4.py <out.rar> <name=path|name/|link:name=target|fifo:name>...

An argument ending in "/" makes a folder entry; "name=path" stores the file at path under name. As rar
does on a Unix host, "link:name=target" stores a symbolic link (its text as the item's data) and
"fifo:name" a named pipe. The test tools have no rar writer, so the tests build their rar archives with
this."""
import struct
import sys
import time
import zlib


def block(head_type, flags, body, add=b""):
    size = 7 + len(body)
    header = struct.pack("<BHH", head_type, flags, size) + body
    crc = zlib.crc32(header) & 0xFFFF
    return struct.pack("<H", crc) + header + add


def dos_time(t):
    lt = time.localtime(t)
    return ((lt.tm_year - 1980) << 25) | (lt.tm_mon << 21) | (lt.tm_mday << 16) | \
        (lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec // 2)


HOST_WIN32, HOST_UNIX = 2, 3


def file_block(name, data, folder, mtime, host=HOST_WIN32, mode=0):
    raw = name.encode("utf-8")
    flags = 0x8000 | (0xE0 if folder else 0)
    attr = mode if host == HOST_UNIX else 0x10 if folder else 0x20
    body = struct.pack("<IIBIIBBHI", len(data), len(data), host, zlib.crc32(data) & 0xFFFFFFFF,
                       dos_time(mtime), 20, 0x30, len(raw), attr) + raw
    return block(0x74, flags, body, data)


def main():
    out = sys.argv[1]
    parts = [b"Rar!\x1a\x07\x00", block(0x73, 0, struct.pack("<HI", 0, 0))]
    now = time.time()
    for arg in sys.argv[2:]:
        if arg.endswith("/"):
            parts.append(file_block(arg.rstrip("/"), b"", True, now))
            continue
        if arg.startswith("link:"):
            name, target = arg[5:].split("=", 1)
            parts.append(file_block(name, target.encode("utf-8"), False, now, HOST_UNIX, 0o120777))
            continue
        if arg.startswith("fifo:"):
            parts.append(file_block(arg[5:], b"", False, now, HOST_UNIX, 0o010644))
            continue
        name, path = arg.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        parts.append(file_block(name, data, False, now))
    parts.append(block(0x7B, 0x4000, b""))
    with open(out, "wb") as f:
        f.write(b"".join(parts))


main()
