#!/usr/bin/env python3
"""Writes a stored (uncompressed) RAR5 archive:
make_rar5.py [--volume] [--solid] <out.rar> <[kind:]name=path|link:name=target|hardlink:name=target|copy:name=target>...

"name=path" stores the file at path under name; "link:name=target" stores a symbolic link,
"hardlink:name=target" a hard link and "copy:name=target" a file copy of an earlier item, each as rar does on
a Unix host: a redirection record in the file header and a data area of no bytes. Items that cannot be
delivered from this archive alone, or whose header lies: "badcrc:name=path" carries the file's CRC32 over
data with one byte changed; "nocrc:name=path" carries no CRC32 (its header's flags say so);
"split:name=path" holds the first half of the file and is marked continued in the next volume;
"encrypted:name=path" carries an encryption record (its data left as it is). "--volume" marks the archive
as a volume of several (main header and end header), "--solid" marks it solid in its main header. The test
tools have no rar writer, so the tests build their rar archives with this."""
import struct
import sys
import time
import zlib

import rar_options

HEAD_MAIN, HEAD_FILE, HEAD_END = 1, 2, 5
FLAG_EXTRA, FLAG_DATA, FLAG_SPLIT_AFTER = 0x1, 0x2, 0x10
ARCHIVE_VOLUME, ARCHIVE_SOLID = 0x1, 0x4
END_MORE_VOLUMES = 0x1
FILE_MTIME, FILE_CRC = 0x2, 0x4
HOST_UNIX = 1
RECORD_ENCRYPTION, RECORD_REDIRECTION = 1, 5
REDIRECT_SYMLINK, REDIRECT_HARDLINK, REDIRECT_COPY = 1, 4, 5


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


def record(kind, fields):
    body = vint(kind) + fields
    return vint(len(body)) + body


def redirection(kind, target):
    target = target.encode("utf-8")
    return record(RECORD_REDIRECTION, vint(kind) + vint(0) + vint(len(target)) + target)


def encryption():
    # AES-256, no password check value, a KDF count, a salt and an IV: the data stays as given.
    return record(RECORD_ENCRYPTION, vint(0) + vint(0) + bytes([15]) + bytes(range(16)) + bytes(range(16, 32)))


def file_block(name, data, mode, mtime, extra=b"", crc=True, flags=0, crc_value=None):
    raw = name.encode("utf-8")
    fields = vint(FILE_MTIME | (FILE_CRC if crc else 0)) + vint(len(data)) + vint(mode) + struct.pack("<I", int(mtime))
    if crc:
        fields += struct.pack("<I", zlib.crc32(data) & 0xFFFFFFFF if crc_value is None else crc_value)
    fields += vint(0) + vint(HOST_UNIX) + vint(len(raw)) + raw  # version 0, store
    return block(HEAD_FILE, flags, fields, extra, data)


def damaged(data):
    return data[:-1] + bytes([data[-1] ^ 0x20]) if data else b"?"


def stored_item(kind, name, data, now):
    if kind == "badcrc":
        return file_block(name, damaged(data), 0o100644, now, crc_value=zlib.crc32(data) & 0xFFFFFFFF)
    if kind == "nocrc":
        return file_block(name, data, 0o100644, now, crc=False)
    if kind == "split":
        return file_block(name, data[:len(data) // 2], 0o100644, now, flags=FLAG_SPLIT_AFTER)
    if kind == "encrypted":
        return file_block(name, data, 0o100644, now, encryption())
    return file_block(name, data, 0o100644, now)


def main():
    volume, solid, out, items = rar_options.parse(sys.argv[1:])
    archive_flags = (ARCHIVE_VOLUME if volume else 0) | (ARCHIVE_SOLID if solid else 0)
    parts = [b"Rar!\x1a\x07\x01\x00", block(HEAD_MAIN, 0, vint(archive_flags))]
    now = time.time()
    redirections = {"link": (REDIRECT_SYMLINK, 0o120777), "hardlink": (REDIRECT_HARDLINK, 0o100644),
                    "copy": (REDIRECT_COPY, 0o100644)}
    for arg in items:
        kind, _, item = arg.partition(":")
        if kind in redirections:
            name, target = item.split("=", 1)
            redirect, mode = redirections[kind]
            parts.append(file_block(name, b"", mode, now, redirection(redirect, target)))
            continue
        if kind not in ("badcrc", "nocrc", "split", "encrypted"):
            kind, item = "", arg
        name, path = item.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        parts.append(stored_item(kind, name, data, now))
    parts.append(block(HEAD_END, 0, vint(END_MORE_VOLUMES if volume else 0)))
    with open(out, "wb") as f:
        f.write(b"".join(parts))


main()
