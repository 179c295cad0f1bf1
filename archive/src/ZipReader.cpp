#include "ZipReader.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "EntryName.h"
#include "ZipGuards.h"
#include "qelplat/codepage.h"
#include "qelplat/confined.h"
#include "qelplat/filetime.h"
#include "qelplat/shell.h"

namespace QelCompress {

namespace {

const size_t kDataBuffer = 16384;
const uint32_t kDirectory = 0x10;
const uint32_t kReadOnly = 0x01;
const uint32_t kArchive = 0x20;
const int kHostUnix = 3;
const uint32_t kUnixTypeMask = 0170000;
const uint32_t kUnixFolder = 0040000;
const int kHostMsDos = 0;
// The longest name an item may have, in characters of the wide name (each byte outside valid UTF-8 counts
// as one): the name field of ZipEntry, and the longest name the writer stores.
const size_t kMaxNameChars = 519;

// The source the unzip code reads the archive through: a platform file handle. The unzip code reads every
// header field a byte at a time, and reads an item's directory record and local header again for every
// query of the item: those small reads are served from a window of the file, so that an archive of a few
// thousand items costs a few thousand system calls instead of several hundred thousand. Reads of a
// window's size or more (the item data) go straight to the file.
const size_t kWindow = 4096;

struct ZipInput {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool can_seek = false;
  int64_t start = 0;
  bool error = false;
  int64_t position = 0;  // where the unzip code reads next, in the file
  std::vector<unsigned char> window;
  int64_t window_at = 0;  // the file offset of window[0]; the window holds window.size() bytes from there
};

voidpf ZCALLBACK InputOpen(voidpf, const void* filename, int) {
  HANDLE file = CreateFileW(static_cast<const wchar_t*>(filename), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  ZipInput* input = new ZipInput;
  input->file = file;
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  input->can_seek = SetFilePointerEx(file, zero, &position, FILE_CURRENT) != FALSE;
  input->start = input->can_seek ? position.QuadPart : 0;
  input->position = input->start;
  return input;
}

// One read of the file at the input's position. A source that cannot seek is only ever read straight on,
// where its own position already stands.
bool ReadFileAt(ZipInput* input, void* buffer, size_t size, size_t* got) {
  LARGE_INTEGER at{};
  at.QuadPart = input->position;
  DWORD read = 0;
  if ((input->can_seek && !SetFilePointerEx(input->file, at, nullptr, FILE_BEGIN)) ||
      !ReadFile(input->file, buffer, static_cast<DWORD>(size), &read, nullptr)) {
    input->error = true;
    return false;
  }
  *got = read;
  return true;
}

// Copies what the window holds at the input's position, up to size bytes.
size_t FromWindow(ZipInput* input, unsigned char* out, size_t size) {
  int64_t end = input->window_at + static_cast<int64_t>(input->window.size());
  if (input->position < input->window_at || input->position >= end) return 0;
  size_t n = std::min(size, static_cast<size_t>(end - input->position));
  memcpy(out, &input->window[static_cast<size_t>(input->position - input->window_at)], n);
  input->position += static_cast<int64_t>(n);
  return n;
}

uLong ZCALLBACK InputRead(voidpf, voidpf stream, void* buffer, uLong size) {
  ZipInput* input = static_cast<ZipInput*>(stream);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  size_t done = FromWindow(input, out, size);
  if (done == size) return size;
  size_t got = 0;
  // A failed read still hands over what the window gave: the count says how far the bytes are good.
  if (size - done >= kWindow) {
    if (!ReadFileAt(input, out + done, size - done, &got)) return static_cast<uLong>(done);
    input->position += static_cast<int64_t>(got);
    return static_cast<uLong>(done + got);
  }
  input->window.resize(kWindow);
  if (!ReadFileAt(input, input->window.data(), kWindow, &got)) {
    input->window.clear();
    return static_cast<uLong>(done);
  }
  input->window.resize(got);
  input->window_at = input->position;
  return static_cast<uLong>(done + FromWindow(input, out + done, size - done));
}

uLong ZCALLBACK InputWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK InputTell(voidpf, voidpf stream) {
  ZipInput* input = static_cast<ZipInput*>(stream);
  return static_cast<ZPOS64_T>(input->position - input->start);
}

long ZCALLBACK InputSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ZipInput* input = static_cast<ZipInput*>(stream);
  if (!input->can_seek) return -1;
  int64_t distance = static_cast<int64_t>(offset);
  int64_t base = input->start;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = input->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(input->file, &size)) return -1;
    base = size.QuadPart;
  }
  if ((distance > 0 && base > INT64_MAX - distance) || base + distance < 0) return -1;
  input->position = base + distance;
  return 0;
}

int ZCALLBACK InputClose(voidpf, voidpf stream) {
  ZipInput* input = static_cast<ZipInput*>(stream);
  CloseHandle(input->file);
  delete input;
  return 0;
}

int ZCALLBACK InputError(voidpf, voidpf stream) { return static_cast<ZipInput*>(stream)->error ? 1 : 0; }

FILETIME DosTimeToFileTime(uLong dos) {
  uint32_t date = static_cast<uint32_t>(dos >> 16);
  uint32_t time = static_cast<uint32_t>(dos & 0xFFFF);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(1980 + (date >> 9));
  st.wMonth = static_cast<WORD>((date >> 5) & 15);
  st.wDay = static_cast<WORD>(date & 31);
  st.wHour = static_cast<WORD>(time >> 11);
  st.wMinute = static_cast<WORD>((time >> 5) & 63);
  st.wSecond = static_cast<WORD>(2 * (time & 31));
  FILETIME local{};
  FILETIME utc{};
  // A date that is no calendar value leaves the times at zero (1601), which no caller takes as real.
  if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc)) return FILETIME{};
  return utc;
}

FILETIME UnixSecondsToFileTime(int32_t seconds) {
  return qelplat::FileTimeFromInt64((static_cast<int64_t>(seconds) + 11644473600LL) * 10000000LL);
}

uint32_t LittleEndian(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The "UT" block of a local extra field replaces the DOS times it carries.
void ApplyExtendedTimes(const std::vector<unsigned char>& extra, ZipEntry& entry) {
  if (extra.size() <= 4) return;
  for (size_t at = 0; at + 4 < extra.size();) {
    uint32_t id = LittleEndian(&extra[at], 2);
    uint32_t size = LittleEndian(&extra[at + 2], 2);
    if (id != 0x5455) {
      at += 4 + size;
      continue;
    }
    size_t p = at + 4;
    size_t end = std::min(extra.size(), p + size);
    if (p >= end) return;
    unsigned flags = extra[p++];
    FILETIME* targets[3] = {&entry.modification_time, &entry.access_time, &entry.creation_time};
    for (int bit = 0; bit < 3; ++bit) {
      if (!(flags & (1u << bit))) continue;
      if (p + 4 > end) return;
      *targets[bit] = UnixSecondsToFileTime(static_cast<int32_t>(LittleEndian(&extra[p], 4)));
      p += 4;
    }
    return;
  }
}

// The item's path from its stored bytes up to the first NUL, as a C string reads them, every byte kept (see
// PathToWide), read by the rules of the host that wrote it.
uint32_t ItemName(const std::string& whole, int host, std::wstring* name, bool* folder) {
  ENameStyle style = host == kHostMsDos ? NAME_WINDOWS : NAME_PORTABLE;
  const std::string stored = whole.substr(0, whole.find('\0'));
  *name = SanitizeEntryName(qelplat::PathToWide(stored), style);
  // A name that cannot be an item's path is refused whole, never cut.
  if (name->size() > kMaxNameChars) return ZR_NOFILE;
  // Many writers mark folders only by the trailing separator, with no directory bit at all.
  char last = stored.empty() ? '\0' : stored.back();
  *folder = last == '/' || (style == NAME_WINDOWS && last == '\\');
  return ZR_OK;
}

uint32_t AttributesOf(const unz_file_info64& info, uint32_t* unix_mode) {
  int host = static_cast<int>(info.version >> 8);
  uint32_t external = static_cast<uint32_t>(info.external_fa);
  *unix_mode = host == kHostUnix ? (external >> 16) & 07777 : 0;
  if (host == 0 || host == 7 || host == 11 || host == 14) return external & 0x37;
  uint32_t attributes = kArchive;
  // The high half holds a Unix mode: a folder only when its whole type is one. A block device (060000) or
  // a socket (0140000) shares the folder's bit, and comes out as a plain file with its bytes.
  if (((external >> 16) & kUnixTypeMask) == kUnixFolder) attributes |= kDirectory;
  if (!(external & 0x00800000u)) attributes |= kReadOnly;
  return attributes;
}

}  // namespace

struct ZipReader {
  unzFile unz = nullptr;
  int position = -1;  // the item the unzip code stands on
  bool item_open = false;
  int cached_index = -1;
  ZipEntry cached{};
  std::vector<char> buffer;
  int count = 0;
  TZipLayout layout;  // the entries as the guards read them, the same as the unzip code's
};

namespace {

void CloseItem(ZipReader* r) {
  if (!r->item_open) return;
  unzCloseCurrentFile(r->unz);
  r->item_open = false;
}

bool GoTo(ZipReader* r, int index) {
  if (r->position < 0 || r->position > index) {
    if (unzGoToFirstFile(r->unz) != UNZ_OK) return false;
    r->position = 0;
  }
  while (r->position < index) {
    if (unzGoToNextFile(r->unz) != UNZ_OK) return false;
    ++r->position;
  }
  return true;
}

ZipReader* ReaderOf(ZipHandle* handle, uint32_t* code) {
  if (!handle) {
    *code = ZR_ARGS;
    return nullptr;
  }
  if (handle->kind != 1) {
    *code = ZR_WRONGKIND;
    return nullptr;
  }
  return handle->reader;
}

}  // namespace

uint32_t OpenZip(const wchar_t* path, ZipHandle** handle) {
  *handle = nullptr;
  zlib_filefunc64_def functions{InputOpen, InputRead, InputWrite, InputTell, InputSeek, InputClose, InputError, nullptr};
  unzFile unz = unzOpen2_64(path, &functions);
  if (!unz) return ZR_NOFILE;
  std::unique_ptr<ZipReader> reader(new ZipReader);
  reader->unz = unz;
  // Entries that share bytes are how a small archive unpacks to a huge one: such a directory is no valid
  // one, nor one that the guards and the unzip code read differently.
  if (!ReadLayoutAsUnzipDoes(path, unz, &reader->layout) || !EntriesApart(reader->layout)) {
    unzClose(unz);
    return ZR_NOFILE;
  }
  reader->count = static_cast<int>(reader->layout.entries.size());
  *handle = new ZipHandle{1, reader.release()};
  return ZR_OK;
}

uint32_t GetZipItem(ZipHandle* handle, int index, ZipEntry& entry) {
  uint32_t code = ZR_OK;
  ZipReader* r = ReaderOf(handle, &code);
  if (!r) return code;
  if (index < -1 || index >= r->count) return ZR_ARGS;
  CloseItem(r);
  if (index == r->cached_index && index != -1) {
    entry = r->cached;
    return ZR_OK;
  }
  if (index == -1) {
    memset(&entry, 0, sizeof entry);
    entry.index = r->count;
    return ZR_OK;
  }
  if (!GoTo(r, index)) return ZR_CORRUPT;
  unz_file_info64 info{};
  // Every query reads the directory record again, field by field: a second one only for a name that is
  // longer than most.
  std::vector<char> stored(1024);
  for (;;) {
    if (unzGetCurrentFileInfo64(r->unz, &info, stored.data(), static_cast<uLong>(stored.size()), nullptr, 0, nullptr,
                                0) != UNZ_OK) {
      return ZR_CORRUPT;
    }
    if (info.size_filename <= stored.size()) break;
    stored.resize(info.size_filename);
  }
  // Opening the item's data checks its local header against the directory.
  if (unzOpenCurrentFile(r->unz) != UNZ_OK) return ZR_CORRUPT;
  int extra_size = unzGetLocalExtrafield(r->unz, nullptr, 0);
  std::vector<unsigned char> extra(extra_size > 0 ? static_cast<size_t>(extra_size) : 0);
  if (extra_size < 0 || (extra_size > 0 && unzGetLocalExtrafield(r->unz, extra.data(), extra_size) != extra_size)) {
    unzCloseCurrentFile(r->unz);
    return ZR_READ;
  }
  unzCloseCurrentFile(r->unz);
  std::wstring name;
  bool folder = false;
  uint32_t named = ItemName(std::string(stored.data(), info.size_filename), static_cast<int>(info.version >> 8),
                            &name, &folder);
  if (named != ZR_OK) return named;
  memset(&entry, 0, sizeof entry);
  entry.index = index;
  wcsncpy(entry.name, name.c_str(), kMaxNameChars);
  entry.attributes = AttributesOf(info, &entry.unix_mode);
  if (folder) entry.attributes |= kDirectory;
  entry.compressed_size = static_cast<int32_t>(info.compressed_size);
  entry.uncompressed_size = static_cast<int32_t>(info.uncompressed_size);
  entry.access_time = entry.creation_time = entry.modification_time = DosTimeToFileTime(info.dosDate);
  ApplyExtendedTimes(extra, entry);
  r->cached = entry;
  r->cached_index = index;
  r->cached.unix_mode = entry.unix_mode;
  return ZR_OK;
}

namespace {

// Whether the item's data can be read and checked at all. Only stored and deflated data is: the unzip code
// hands out the data of any other method it knows (bzip2) as it stands, unchecked, and a package that
// claims such a method while holding plain bytes would be written as if it were whole.
uint32_t DataReadable(const unz_file_info64& info) {
  if (info.flag & 1) return ZR_PASSWORD;  // encrypted, and no password is ever given
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) return ZR_FLATE;
  return ZR_OK;
}

uint32_t CopyItemData(ZipReader* r, unz_file_info64& info, qelplat::CConfinedFile& out) {
  if (unzOpenCurrentFile(r->unz) != UNZ_OK) return ZR_CORRUPT;
  r->item_open = true;
  if (r->buffer.empty()) r->buffer.resize(kDataBuffer);
  uint64_t total = 0;
  for (;;) {
    int n = unzReadCurrentFile(r->unz, r->buffer.data(), static_cast<unsigned>(r->buffer.size()));
    if (n < 0) return ZR_FLATE;
    if (n == 0) break;
    if (!out.Write(r->buffer.data(), static_cast<size_t>(n))) return ZR_WRITE;
    total += static_cast<uint64_t>(n);
  }
  r->item_open = false;
  // The unzip code sums the CRC of stored and deflated data as it hands it out and compares it with the
  // stored one when the item is closed after its last byte: corrupt data is not a success.
  if (unzCloseCurrentFile(r->unz) != UNZ_OK || total != info.uncompressed_size) return ZR_FLATE;
  return ZR_OK;
}

}  // namespace

uint32_t UnzipItem(ZipHandle* handle, int index, const std::string& root, const std::wstring& name) {
  uint32_t code = ZR_OK;
  ZipReader* r = ReaderOf(handle, &code);
  if (!r) return code;
  CloseItem(r);
  if (index < 0 || index >= r->count) return ZR_ARGS;
  ZipEntry entry;
  code = GetZipItem(handle, index, entry);
  if (code != ZR_OK) return code;
  std::string relative;
  // A name that would still climb out of the folder is never written.
  if (!RelativePathOf(name, &relative)) return ZR_NOFILE;
  if (entry.attributes & kDirectory) return qelplat::MakeFoldersBelow(root, relative) ? ZR_OK : ZR_NOFILE;
  if (!GoTo(r, index)) return ZR_CORRUPT;
  unz_file_info64 info{};
  if (unzGetCurrentFileInfo64(r->unz, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return ZR_CORRUPT;
  code = DataReadable(info);
  if (code != ZR_OK) return code;
  qelplat::CConfinedFile out;
  if (!out.Create(root, relative)) return ZR_NOFILE;
  code = CopyItemData(r, info, out);
  CloseItem(r);
  if (code != ZR_OK) return code;
  out.SetMode(entry.unix_mode, (entry.attributes & kReadOnly) != 0);
  out.SetTimes(entry.access_time, entry.modification_time);
  return out.Close() ? ZR_OK : ZR_WRITE;
}

uint32_t CloseZipReader(ZipHandle* handle) {
  if (!handle) return ZR_OK;
  if (handle->reader) {
    CloseItem(handle->reader);
    unzClose(handle->reader->unz);
    delete handle->reader;
  }
  delete handle;
  return ZR_OK;
}

uint32_t UnzipToFolder(const wchar_t* archive, const wchar_t* destDir) {
  if (!archive || !destDir || !*archive || !*destDir) return ZR_NOTSET;
  SHCreateDirectoryExW(nullptr, destDir, nullptr);
  std::string root = qelplat::WideToPath(destDir);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  ZipHandle* raw = nullptr;
  uint32_t code = OpenZip(archive, &raw);
  if (code != ZR_OK) return code;
  std::unique_ptr<ZipHandle, uint32_t (*)(ZipHandle*)> handle(raw, CloseZipReader);
  if (!RoomToUnpack(handle->reader->layout, root)) return ZR_WRITE;  // before anything is written
  ZipEntry count{};
  GetZipItem(handle.get(), -1, count);
  uint32_t first = ZR_OK;
  std::set<std::string> files;  // the paths this unpack has written a file to
  for (int i = 0; i < count.index; ++i) {
    ZipEntry entry;
    uint32_t item = GetZipItem(handle.get(), i, entry);
    std::string relative;
    // Two items never land on one path: the later one would silently replace the earlier.
    if (item == ZR_OK && !(entry.attributes & kDirectory) && RelativePathOf(entry.name, &relative) &&
        !files.insert(relative).second) {
      item = ZR_NOFILE;
    }
    if (item == ZR_OK) item = UnzipItem(handle.get(), i, root, entry.name);
    if (first == ZR_OK) first = item;
  }
  return first;
}

}  // namespace QelCompress
