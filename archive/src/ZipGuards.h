#pragma once
// What a zip must keep before any of it is written: no two entries sharing bytes, and no more data than the
// target disk can take. A zip bomb unpacks a small archive into far more than it holds, by letting many
// directory entries read one stretch of compressed data; another kind simply fills the disk.
//
// Both read the central directory in one piece and each local header once, as the unzip code finds them
// (the last end record, the zip64 one through its locator, data before the archive allowed for); an
// archive whose directory they cannot read is left to the unzip code, which fails it on its own.
#include <string>

namespace QelCompress {

// False when the local header and data of an entry overlap another entry's, or the central directory, as
// Info-ZIP also refuses them. An entry whose local header cannot be read is left out: its own extraction
// fails.
bool EntriesApart(const wchar_t* archive);

// False when the items, each rounded up to whole 4 KiB blocks, would not fit in the space free to this user
// on the file system that holds root. True when that space cannot be learnt: a full disk then fails the
// writes themselves.
bool RoomToUnpack(const wchar_t* archive, const std::string& root);

}  // namespace QelCompress
