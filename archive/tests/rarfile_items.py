"""Prints each item of a rar archive as Python's rarfile reads its header, one line an item:
<crc> <size> <encrypted> <split> <what it redirects to>: 0 for none, "link" for a symbolic link or
junction, "copy" for any other kind (a hard link, a file copy)."""
import sys

import rarfile


def main():
    archive = rarfile.RarFile(sys.argv[1])
    for item in archive.infolist():
        split = 1 if item.flags & (rarfile.RAR_FILE_SPLIT_BEFORE | rarfile.RAR_FILE_SPLIT_AFTER) else 0
        redirection = 0
        if item.file_redir:
            redirection = "link" if 1 <= item.file_redir[0] <= 3 else "copy"
        print(item.CRC or 0, item.file_size, int(item.needs_password()), split, redirection)


main()
