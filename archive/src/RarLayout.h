#pragma once
// What a rar archive's headers say that the unpacking library does not pass on: whether the archive is one
// volume of several, whether an item is cut at a volume's edge, encrypted, or a copy of another item, and
// the CRC32 and size each item's data must have. Read on its own from the archive's bytes (RAR 1.5-4.x and
// RAR5), by the headers' own chain of sizes, every header's CRC checked: the unpack holds the library's
// items against these, one by one, in the same order.
#include <cstdint>
#include <vector>

#include "ArchiveBytes.h"

namespace QelCompress {

struct TRarItem {
  bool has_crc = false;  // RAR5 may leave it out
  uint32_t crc = 0;      // of the item's unpacked data
  bool size_known = true;
  uint64_t size = 0;  // of the item's unpacked data
  // RAR5 keeps a link's target in the header, and the item's data (and its CRC) is then empty.
  bool link_in_header = false;
  bool split = false;      // continued from or in another volume
  bool encrypted = false;  // no password is ever given
  bool copy = false;       // a hard link or file copy: its bytes are those of another item
};

struct TRarLayout {
  bool volume = false;             // one volume of several: the package is not all here
  bool encrypted_headers = false;  // nothing past the main header can be read without a password
  bool complete = false;           // every header was read, up to the archive's end
  std::vector<TRarItem> items;     // the file items, in order, as far as the headers could be read
};

// Never fails: reading ends at the first header that is cut short, lies about its sizes or fails its CRC,
// and the layout then holds the items before it and is not complete.
TRarLayout ReadRarLayout(const CArchiveBytes& bytes);

}  // namespace QelCompress
