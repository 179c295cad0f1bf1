#!/usr/bin/env python3
"""Writes a stored (uncompressed) RAR5 archive: make_rar5.py <out.rar> <name=path|link:name=target|hardlink:name=target>...

"name=path" stores the file at path under name; "link:name=target" stores a symbolic link and
"hardlink:name=target" a hard link to an earlier item, each as rar does on a Unix host: a redirection
record in the file header and a data area of no bytes. The test tools have no rar writer, so the tests build their rar
archives with this."""
import struct
import sys
import time
import zlib

HEAD_MAIN, HEAD_FILE, HEAD_END = 1, 2, 5
FLAG_EXTRA, FLAG_DATA = 0x1, 0x2
FILE_MTIME, FILE_CRC = 0x2, 0x4
HOST_UNIX = 1
RECORD_REDIRECTION = 5
REDIRECT_SYMLINK, REDIRECT_HARDLINK = 1, 4


def vint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def block(head_type, flags, fields, extra=b"", data=None):
    body = vint(head_type) + vint(flags | (FLAG_EXTRA if extra else 0) | (FLAG_DATA if data is not None else 0))
    if extra:
        body += vint(len(extra))
    if data is not None:
        body += vint(len(data))
    body += fields + extra
    sized = vint(len(body)) + body
    return struct.pack("<I", zlib.crc32(sized) & 0xFFFFFFFF) + sized + (data or b"")


def file_block(name, data, mode, mtime, redirect=None):
    raw = name.encode("utf-8")
    fields = vint(FILE_MTIME | FILE_CRC) + vint(len(data)) + vint(mode) + struct.pack("<I", int(mtime))
    fields += struct.pack("<I", zlib.crc32(data) & 0xFFFFFFFF)
    fields += vint(0) + vint(HOST_UNIX) + vint(len(raw)) + raw  # version 0, method store
    extra = b""
    if redirect:
        kind, target = redirect
        target = target.encode("utf-8")
        record = vint(RECORD_REDIRECTION) + vint(kind) + vint(0) + vint(len(target)) + target
        extra = vint(len(record)) + record
    return block(HEAD_FILE, 0, fields, extra, data)


def main():
    out = sys.argv[1]
    parts = [b"Rar!\x1a\x07\x01\x00", block(HEAD_MAIN, 0, vint(0))]
    now = time.time()
    for arg in sys.argv[2:]:
        if arg.startswith("link:"):
            name, target = arg[5:].split("=", 1)
            parts.append(file_block(name, b"", 0o120777, now, (REDIRECT_SYMLINK, target)))
            continue
        if arg.startswith("hardlink:"):
            name, target = arg[9:].split("=", 1)
            parts.append(file_block(name, b"", 0o100644, now, (REDIRECT_HARDLINK, target)))
            continue
        name, path = arg.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        parts.append(file_block(name, data, 0o100644, now))
    parts.append(block(HEAD_END, 0, vint(0)))
    with open(out, "wb") as f:
        f.write(b"".join(parts))


main()
