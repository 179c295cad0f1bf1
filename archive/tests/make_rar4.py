#!/usr/bin/env python3
"""Writes a stored (uncompressed) RAR 1.5-4.x archive:
make_rar4.py [--volume] [--solid] <out.rar> <[kind:]name=path|name/|link:name=target|fifo:name>...

An argument ending in "/" makes a folder entry; "name=path" stores the file at path under name. As rar
does on a Unix host, "link:name=target" stores a symbolic link (its text as the item's data) and
"fifo:name" a named pipe. Items that cannot be delivered from this archive alone, or whose header lies:
"badcrc:name=path" carries the file's CRC over data with one byte changed; "split:name=path" holds the
first half of the file and is marked continued in the next volume; "encrypted:name=path" is marked
encrypted (its data left as it is). "--volume" marks the archive as a volume of several (main header and
end block), "--solid" marks it solid in its main header. The test tools have no rar writer, so the tests
build their rar archives with this."""
import struct
import sys
import time
import zlib

import rar_options

MAIN_VOLUME, MAIN_SOLID = 0x0001, 0x0008
FILE_SPLIT_AFTER, FILE_PASSWORD = 0x02, 0x04
END_NEXT_VOLUME = 0x0001


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


def file_block(name, data, folder, mtime, host=HOST_WIN32, mode=0, flags=0, crc=None):
    raw = name.encode("utf-8")
    flags |= 0x8000 | (0xE0 if folder else 0)
    attr = mode if host == HOST_UNIX else 0x10 if folder else 0x20
    crc = zlib.crc32(data) & 0xFFFFFFFF if crc is None else crc
    body = struct.pack("<IIBIIBBHI", len(data), len(data), host, crc, dos_time(mtime), 20, 0x30, len(raw),
                       attr) + raw
    return block(0x74, flags, body, data)


def damaged(data):
    return data[:-1] + bytes([data[-1] ^ 0x20]) if data else b"?"


def stored_item(kind, name, data, now):
    if kind == "badcrc":
        return file_block(name, damaged(data), False, now, crc=zlib.crc32(data) & 0xFFFFFFFF)
    if kind == "split":
        return file_block(name, data[:len(data) // 2], False, now, flags=FILE_SPLIT_AFTER)
    if kind == "encrypted":
        return file_block(name, data, False, now, flags=FILE_PASSWORD)
    return file_block(name, data, False, now)


def main():
    volume, solid, out, items = rar_options.parse(sys.argv[1:])
    main_flags = (MAIN_VOLUME if volume else 0) | (MAIN_SOLID if solid else 0)
    parts = [b"Rar!\x1a\x07\x00", block(0x73, main_flags, struct.pack("<HI", 0, 0))]
    now = time.time()
    for arg in items:
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
        kind, _, item = arg.partition(":")
        if kind not in ("badcrc", "split", "encrypted"):
            kind, item = "", arg
        name, path = item.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        parts.append(stored_item(kind, name, data, now))
    parts.append(block(0x7B, 0x4000 | (END_NEXT_VOLUME if volume else 0), b""))
    with open(out, "wb") as f:
        f.write(b"".join(parts))


main()
