#include "RarReader.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <memory>
#include <set>
#include <string>

#include "EntryName.h"
#include "RarLayout.h"
#include "qelplat/codepage.h"
#include "qelplat/confined.h"
#include "qelplat/shell.h"

namespace QelCompress {

struct RarArchive {
  archive* reader = nullptr;
  archive_entry* entry = nullptr;
  std::set<std::string> written;  // the paths this unpack has written a file to
  // The headers as our own reading found them: libarchive reads the items, but does not say everything
  // that decides whether an item can be delivered whole.
  TRarLayout layout;
  size_t next = 0;  // the layout's item that libarchive's next header must be
  const TRarItem* item = nullptr;
};

RarArchive* RAROpenArchiveEx(const wchar_t* path) {
  std::unique_ptr<RarArchive> rar(new RarArchive);
  rar->layout = ReadRarLayout(CArchiveFile(path));
  // One volume of several holds only part of the package; with its headers encrypted, nothing can be
  // known of its items.
  if (rar->layout.volume || rar->layout.encrypted_headers) return nullptr;
  rar->reader = archive_read_new();
  if (!rar->reader) return nullptr;
  archive_read_support_format_rar(rar->reader);
  archive_read_support_format_rar5(rar->reader);
  if (archive_read_open_filename(rar->reader, qelplat::WideToPath(path).c_str(), 64 * 1024) != ARCHIVE_OK) {
    archive_read_free(rar->reader);
    return nullptr;
  }
  return rar.release();
}

int RARReadHeaderEx(RarArchive* rar) {
  int rc = archive_read_next_header(rar->reader, &rar->entry);
  rar->item = nullptr;
  // The end only when both readings end together, after every header: an item libarchive passed over
  // would be missing from the package.
  if (rc == ARCHIVE_EOF) {
    return rar->layout.complete && rar->next == rar->layout.items.size() ? RAR_END_ARCHIVE : RAR_BAD_DATA;
  }
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return RAR_BAD_DATA;
  // An item past what our reading could follow cannot be checked.
  if (rar->next >= rar->layout.items.size()) return RAR_BAD_DATA;
  const TRarItem& item = rar->layout.items[rar->next++];
  if (archive_entry_is_encrypted(rar->entry) || item.encrypted) return RAR_ENCRYPTED;
  // Cut at a volume's edge, or bytes that are another item's (a hard link or a file copy, whichever of the
  // two readings says so): the item cannot be written whole.
  if (item.split || item.copy || archive_entry_hardlink(rar->entry)) return RAR_BAD_DATA;
  rar->item = &item;  // only an item that can be written is ever processed
  return RAR_SUCCESS;
}

namespace {

// The item's unpacked data as it went to the file: its CRC32 and length.
struct TDataSum {
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t size = 0;

  void Add(const void* data, size_t n) {
    crc = crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(n));
    size += n;
  }
};

int WriteData(RarArchive* rar, qelplat::CConfinedFile& out, TDataSum* sum) {
  char buffer[64 * 1024];
  for (;;) {
    la_ssize_t n = archive_read_data(rar->reader, buffer, sizeof buffer);
    if (n == 0) return RAR_SUCCESS;
    if (n < 0) return RAR_BAD_DATA;
    if (!out.Write(buffer, static_cast<size_t>(n))) return RAR_WRITE;
    sum->Add(buffer, static_cast<size_t>(n));
  }
}

// A symbolic link is written as a plain file holding the link's text, as a zip's link item is: a package
// never makes a link, and never leaves out an item it holds. RAR 1.5-4.x stores that text as the item's
// data; RAR5 in its header, with no data.
int WriteLinkText(RarArchive* rar, qelplat::CConfinedFile& out, TDataSum* sum) {
  const wchar_t* wide = archive_entry_symlink_w(rar->entry);
  const char* narrow = archive_entry_symlink(rar->entry);
  std::string text = wide ? qelplat::WideToPath(wide) : narrow ? narrow : "";
  if (!rar->item->link_in_header) sum->Add(text.data(), text.size());
  return out.Write(text.data(), text.size()) ? RAR_SUCCESS : RAR_WRITE;
}

// libarchive leaves stored data unchecked: what was written must be what the header says it packed.
bool AsPacked(const TRarItem& item, const TDataSum& sum) {
  if (item.has_crc && static_cast<uint32_t>(sum.crc) != item.crc) return false;
  return !item.size_known || sum.size == item.size;
}

}  // namespace

int RARProcessFileW(RarArchive* rar, const wchar_t* destDir) {
  if (!rar->item) return RAR_BAD_DATA;  // no header read, or one refused
  const wchar_t* stored = archive_entry_pathname_w(rar->entry);
  std::string relative;
  // A name that would leave the destination is refused, not written elsewhere.
  if (!stored || !RelativePathOf(SanitizeEntryName(stored, NAME_WINDOWS), &relative)) return RAR_BAD_DATA;
  std::string root = qelplat::WideToPath(destDir);
  mode_t type = archive_entry_filetype(rar->entry);
  if (type == AE_IFDIR) return qelplat::MakeFoldersBelow(root, relative) ? RAR_SUCCESS : RAR_WRITE;
  // Two items never land on one path: the later one would silently replace the earlier.
  if (!rar->written.insert(relative).second) return RAR_BAD_DATA;
  // Every other item is written as a plain file with the data it holds, whatever its type (a device or a
  // pipe holds none), as every zip item that is no folder is.
  qelplat::CConfinedFile out;
  if (!out.Create(root, relative)) return RAR_WRITE;
  TDataSum sum;
  int rc = type == AE_IFLNK ? WriteLinkText(rar, out, &sum) : WriteData(rar, out, &sum);
  if (rc != RAR_SUCCESS) return rc;
  if (!AsPacked(*rar->item, sum)) return RAR_BAD_DATA;
  out.SetMode(archive_entry_perm(rar->entry) & 0777, false);
  FILETIME modified = qelplat::FileTimeFromInt64((static_cast<int64_t>(archive_entry_mtime(rar->entry)) + 11644473600LL) *
                                                 10000000LL);
  out.SetTimes(modified, modified);
  return out.Close() ? RAR_SUCCESS : RAR_WRITE;
}

int RARCloseArchive(RarArchive* rar) {
  if (!rar) return RAR_SUCCESS;
  archive_read_free(rar->reader);
  delete rar;
  return RAR_SUCCESS;
}

int UnrarToFolder(const wchar_t* archive, const wchar_t* destDir) {
  SHCreateDirectoryExW(nullptr, destDir, nullptr);
  std::unique_ptr<RarArchive, int (*)(RarArchive*)> rar(RAROpenArchiveEx(archive), RARCloseArchive);
  if (!rar) return -1;
  for (;;) {
    int header = RARReadHeaderEx(rar.get());
    if (header == RAR_END_ARCHIVE) return 0;
    // Without a header there is no current file: a damaged archive ends here.
    if (header != RAR_SUCCESS) return -1;
    if (RARProcessFileW(rar.get(), destDir) != RAR_SUCCESS) return -1;
  }
}

}  // namespace QelCompress
