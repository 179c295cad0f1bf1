#include "ZipGuards.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "ArchiveBytes.h"
#include "qelplat/codepage.h"
#include "qelplat/diskspace.h"

namespace QelCompress {

namespace {

const uint32_t kEndSignature = 0x06054b50;
const uint32_t kEnd64LocatorSignature = 0x07064b50;
const uint32_t kEnd64Signature = 0x06064b50;
const uint32_t kRecordSignature = 0x02014b50;
const uint32_t kLocalSignature = 0x04034b50;
const size_t kEndRecord = 22;
const size_t kEnd64Locator = 20;
const size_t kEnd64Record = 56;
const size_t kRecord = 46;
const size_t kLocalHeader = 30;
// The end record's comment is at most 65,535 bytes: the record lies within this many bytes of the end.
const uint64_t kEndSearch = 0xFFFF + kEndRecord;
const uint64_t kBlock = 4096;
const uint32_t kFar = 0xFFFFFFFFu;  // a 32-bit field whose value stands in the zip64 extra block
const uint32_t kZip64Extra = 0x0001;

// The last place in bytes where the signature starts with room for a record of the given size after it.
bool FindLast(const std::vector<unsigned char>& bytes, uint32_t signature, size_t record, size_t* at) {
  if (bytes.size() < record) return false;
  for (size_t i = bytes.size() - record + 1; i-- > 0;) {
    if (LittleEndian(&bytes[i], 4) == signature) {
      *at = i;
      return true;
    }
  }
  return false;
}

struct TDirectory {
  uint64_t start = 0;     // in the file
  uint64_t end = 0;       // where the end record (or the zip64 one) begins
  uint64_t recorded = 0;  // where the archive says it starts: data before the archive moves it
  std::vector<unsigned char> bytes;
};

// A zip64 end record, through its locator in the archive's tail, at the offset the locator gives.
bool Zip64End(const CArchiveFile& file, const std::vector<unsigned char>& tail, TDirectory* dir, uint64_t* size) {
  size_t at = 0;
  if (!FindLast(tail, kEnd64LocatorSignature, kEnd64Locator, &at)) return false;
  if (LittleEndian(&tail[at + 4], 4) != 0 || LittleEndian(&tail[at + 16], 4) != 1) return false;
  uint64_t record = LittleEndian(&tail[at + 8], 8);
  std::vector<unsigned char> bytes;
  if (!file.Read(record, kEnd64Record, &bytes) || LittleEndian(bytes.data(), 4) != kEnd64Signature) return false;
  dir->end = record;
  *size = LittleEndian(&bytes[40], 8);
  dir->recorded = LittleEndian(&bytes[48], 8);
  return true;
}

bool ReadDirectory(const CArchiveFile& file, TDirectory* dir) {
  uint64_t fileSize = 0;
  if (!file.Size(&fileSize)) return false;
  uint64_t tailSize = std::min(fileSize, kEndSearch);
  std::vector<unsigned char> tail;
  if (!file.Read(fileSize - tailSize, tailSize, &tail)) return false;
  uint64_t size = 0;
  if (!Zip64End(file, tail, dir, &size)) {
    size_t at = 0;
    if (!FindLast(tail, kEndSignature, kEndRecord, &at)) return false;
    dir->end = fileSize - tailSize + at;
    size = LittleEndian(&tail[at + 12], 4);
    dir->recorded = LittleEndian(&tail[at + 16], 4);
  }
  if (size > dir->end || dir->end - size < dir->recorded) return false;
  dir->start = dir->end - size;
  return file.Read(dir->start, size, &dir->bytes);
}

// A 32-bit field of all ones takes its value from the zip64 extra block, in the block's fixed order.
void ApplyZip64(const unsigned char* extra, size_t size, TZipEntrySpan* entry, bool farU, bool farC, bool farL) {
  for (size_t at = 0; at + 4 <= size;) {
    uint64_t id = LittleEndian(extra + at, 2);
    size_t length = static_cast<size_t>(LittleEndian(extra + at + 2, 2));
    size_t end = std::min(size, at + 4 + length);
    if (id == kZip64Extra) {
      size_t p = at + 4;
      uint64_t* fields[3] = {farU ? &entry->uncompressed : nullptr, farC ? &entry->compressed : nullptr,
                             farL ? &entry->local : nullptr};
      for (uint64_t* field : fields) {
        if (!field) continue;
        if (p + 8 > end) return;
        *field = LittleEndian(extra + p, 8);
        p += 8;
      }
      return;
    }
    at = end;
  }
}

// Every record of the directory, until one that is not a record; local offsets as the records give them.
std::vector<TZipEntrySpan> Entries(const TDirectory& dir) {
  std::vector<TZipEntrySpan> entries;
  const std::vector<unsigned char>& bytes = dir.bytes;
  for (size_t at = 0; at + kRecord <= bytes.size() && LittleEndian(&bytes[at], 4) == kRecordSignature;) {
    const unsigned char* r = &bytes[at];
    size_t name = static_cast<size_t>(LittleEndian(r + 28, 2));
    size_t extra = static_cast<size_t>(LittleEndian(r + 30, 2));
    size_t comment = static_cast<size_t>(LittleEndian(r + 32, 2));
    if (at + kRecord + name + extra + comment > bytes.size()) break;
    TZipEntrySpan entry;
    entry.record = dir.recorded + at;
    entry.compressed = LittleEndian(r + 20, 4);
    entry.uncompressed = LittleEndian(r + 24, 4);
    entry.local = LittleEndian(r + 42, 4);
    ApplyZip64(r + kRecord + name, extra, &entry, entry.uncompressed == kFar, entry.compressed == kFar,
               entry.local == kFar);
    entries.push_back(entry);
    at += kRecord + name + extra + comment;
  }
  return entries;
}

// Places each entry's local header in the file (data before the archive allowed for) and finds where its
// data begins; an entry whose header cannot be read keeps data 0.
void FindData(const CArchiveFile& file, const TDirectory& dir, std::vector<TZipEntrySpan>* entries) {
  uint64_t before = dir.start - dir.recorded;  // bytes in front of the archive (a self-extractor's program)
  std::vector<unsigned char> header;
  for (TZipEntrySpan& entry : *entries) {
    entry.local += before;
    if (entry.local < before || !file.Read(entry.local, kLocalHeader, &header) ||
        LittleEndian(header.data(), 4) != kLocalSignature)
      continue;
    entry.data = entry.local + kLocalHeader + LittleEndian(&header[26], 2) + LittleEndian(&header[28], 2);
  }
}

// Whether the unzip code, walking its own directory, meets the same entries: the same count, each record
// where the guards found it with the same sizes, and each item it can open starting where the guards
// expect its data.
bool SameAsUnzip(unzFile unz, const std::vector<TZipEntrySpan>& entries) {
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(unz, &global) != UNZ_OK || global.number_entry != entries.size()) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if ((i == 0 ? unzGoToFirstFile(unz) : unzGoToNextFile(unz)) != UNZ_OK) return false;
    const TZipEntrySpan& entry = entries[i];
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(unz, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    if (static_cast<uint64_t>(unzGetOffset64(unz)) != entry.record || info.compressed_size != entry.compressed ||
        info.uncompressed_size != entry.uncompressed)
      return false;
    // An item the unzip code cannot open writes nothing; one it can must start where the guards looked.
    if (unzOpenCurrentFile2(unz, nullptr, nullptr, 1) != UNZ_OK) continue;
    uint64_t data = static_cast<uint64_t>(unzGetCurrentFileZStreamPos64(unz));
    unzCloseCurrentFile(unz);
    if (entry.data == 0 || data != entry.data) return false;
  }
  return true;
}

}  // namespace

bool ReadLayoutAsUnzipDoes(const wchar_t* archive, unzFile unz, TZipLayout* layout) {
  CArchiveFile file(archive);
  TDirectory dir;
  if (!ReadDirectory(file, &dir)) return false;
  layout->directory_start = dir.start;
  layout->directory_end = dir.end;
  layout->entries = Entries(dir);
  FindData(file, dir, &layout->entries);
  return SameAsUnzip(unz, layout->entries);
}

bool EntriesApart(const TZipLayout& layout) {
  std::vector<std::pair<uint64_t, uint64_t>> spans = {{layout.directory_start, layout.directory_end}};
  for (const TZipEntrySpan& entry : layout.entries) {
    if (entry.data == 0) continue;
    uint64_t end = entry.data + entry.compressed;
    spans.push_back({entry.local, end < entry.data ? UINT64_MAX : end});
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].second) return false;
  }
  return true;
}

bool RoomToUnpack(const TZipLayout& layout, const std::string& root) {
  ULARGE_INTEGER available{};
  // The destination's own bytes: a folder name that is no valid text is still the folder the unpack fills.
  if (!GetDiskFreeSpaceExW(qelplat::PathToWide(root).c_str(), &available, nullptr, nullptr)) return true;
  uint64_t needed = 0;
  for (const TZipEntrySpan& entry : layout.entries) {
    uint64_t blocks = entry.uncompressed / kBlock + (entry.uncompressed % kBlock ? 1 : 0);
    if (blocks > (available.QuadPart - needed) / kBlock) return false;
    needed += blocks * kBlock;
  }
  return true;
}

}  // namespace QelCompress
