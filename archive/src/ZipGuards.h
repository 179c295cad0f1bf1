#pragma once
// What a zip must keep before any of it is written: no two entries sharing bytes, and no more data than the
// target disk can take. A zip bomb unpacks a small archive into far more than it holds, by letting many
// directory entries read one stretch of compressed data; another kind simply fills the disk.
//
// The guards read the central directory in one piece and each local header once (the last end record, the
// zip64 one through its locator, data before the archive allowed for), and then hold their reading against
// the unzip code's: the archive is used only when both read the same entries, each record at the same
// place with the same sizes and each entry's data where the guards found it. An archive whose end records
// the two read differently (a decoy end record hidden in the comment, say) is refused: the guards would
// judge one directory while the unpack writes another.
#include <minizip/unzip.h>

#include <cstdint>
#include <string>
#include <vector>

namespace QelCompress {

struct TZipEntrySpan {
  uint64_t record = 0;  // where its directory record lies, from the archive's declared start
  uint64_t local = 0;   // where its local header lies in the file
  uint64_t data = 0;    // where its data begins in the file; 0 when the local header cannot be read
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
};

struct TZipLayout {
  uint64_t directory_start = 0;  // in the file
  uint64_t directory_end = 0;    // where the end record (or the zip64 one) begins
  std::vector<TZipEntrySpan> entries;
};

// The guards' own reading of the archive, true only when the unzip handle opened on the same archive reads
// the very same directory.
bool ReadLayoutAsUnzipDoes(const wchar_t* archive, unzFile unz, TZipLayout* layout);

// False when the local header and data of an entry overlap another entry's, or the central directory, as
// Info-ZIP also refuses them. An entry whose local header cannot be read is left out: its own extraction
// fails.
bool EntriesApart(const TZipLayout& layout);

// False when the items, each rounded up to whole 4 KiB blocks, would not fit in the space free to this user
// on the file system that holds root (the path's own bytes). True when that space cannot be learnt: a full
// disk then fails the writes themselves.
bool RoomToUnpack(const TZipLayout& layout, const std::string& root);

}  // namespace QelCompress
