#pragma once
// Rar extraction through four calls in the manner of the UnRAR archive interface (open, read the next
// header, process the current file, close), served by libarchive, which reads RAR 1.5-4.x and RAR5.
// Files and folders are written only below the destination; links and devices are never made: a link
// item is written as a plain file holding its text, as in a zip. Beside libarchive, our own reading of the
// headers refuses what cannot be delivered whole (a volume of several, an item cut at a volume's edge, an
// encrypted item, a copy of another item) and checks each item's data against its CRC32 and size.
namespace QelCompress {

enum ERarResult { RAR_SUCCESS = 0, RAR_END_ARCHIVE = 10, RAR_BAD_DATA = 12, RAR_ENCRYPTED = 24, RAR_WRITE = 16 };

struct RarArchive;

RarArchive* RAROpenArchiveEx(const wchar_t* path);
int RARReadHeaderEx(RarArchive* archive);
// Extracts the current file below destDir.
int RARProcessFileW(RarArchive* archive, const wchar_t* destDir);
int RARCloseArchive(RarArchive* archive);

// 0 on success, -1 on any failure.
int UnrarToFolder(const wchar_t* archive, const wchar_t* destDir);

}  // namespace QelCompress
