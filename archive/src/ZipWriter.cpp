#include "ZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <new>
#include <system_error>

#include "Deflater.h"
#include "qelplat/codepage.h"
#include "qelplat/filetime.h"
#include "qelplat/findfile.h"

namespace QelCompress {

namespace {

const uint32_t kLocalSignature = 0x04034B50;
const uint32_t kCentralSignature = 0x02014B50;
const uint32_t kEndSignature = 0x06054B50;
const uint16_t kVersionMadeBy = 0x0B17;  // NTFS host, format 2.3
const uint16_t kVersionNeeded = 20;
const uint16_t kFlagSizesAfterData = 8;  // set only until the header is rewritten with the final sizes
const uint16_t kMethodStored = 0;
const uint16_t kMethodDeflated = 8;
const int kLevel = 8;
const uint16_t kTimestampId = 0x5455;  // "UT"
const size_t kLocalHeaderSize = 30;
const size_t kLocalExtraSize = 17;
const size_t kCentralExtraSize = 9;
const uint32_t kFolderAttributes = 0x41C00010;  // Unix 040700 and the DOS directory bit
const uint32_t kDosAttributeMask = 0x37;        // read-only, hidden, system, directory, archive
// 0xFFFFFFFF in a size or offset field means "see the ZIP64 record", which this writer never writes.
const uint64_t kMaxField = 0xFFFFFFFEu;
const int64_t kUnixEpochIn100ns = 116444736000000000LL;
const int64_t kUnixEpochSeconds = 11644473600LL;  // 1601-01-01 .. 1970-01-01
const uint32_t kClosed = 0x50000;  // the writer's own code beside the shared ones of EZipResult

void Put16(std::vector<uint8_t>& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool HasStoredSuffix(const std::wstring& name) {
  static const wchar_t* const kSuffixes[] = {L".z", L".zip", L".zoo", L".arc", L".lzh", L".arj", L".gz", L".tgz"};
  std::wstring::size_type dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  std::wstring suffix = name.substr(dot);
  for (wchar_t& c : suffix) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  for (const wchar_t* known : kSuffixes) {
    if (suffix == known) return true;
  }
  return false;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

int32_t UnixSeconds(int64_t fileTime) {
  int64_t seconds = FloorDiv(fileTime - kUnixEpochIn100ns, 10000000);
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(seconds, INT32_MIN), INT32_MAX));
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  int64_t era = FloorDiv(days, 146097);
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// DOS date and time of a UTC time: the wall clock of the local zone at that moment. DOS dates cover 1980 to
// 2107 only; times outside are held at the nearest end rather than wrapped into a wrong date.
void DosDateTime(int64_t utcFileTime, uint16_t* date, uint16_t* time) {
  FILETIME utc = qelplat::FileTimeFromInt64(utcFileTime);
  FILETIME local = utc;  // a moment no zone can show (beyond any year) is taken as it is; it is held below
  FileTimeToLocalFileTime(&utc, &local);
  int64_t seconds = FloorDiv(qelplat::FileTimeToInt64(local), 10000000) - kUnixEpochSeconds;
  int64_t days = FloorDiv(seconds, 86400);
  int64_t of_day = seconds - days * 86400;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  if (year < 1980) {
    *date = (1 << 5) | 1;
    *time = 0;
    return;
  }
  if (year > 2107) {
    *date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
    *time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
    return;
  }
  unsigned hour = static_cast<unsigned>(of_day / 3600), minute = static_cast<unsigned>(of_day / 60 % 60);
  unsigned second = static_cast<unsigned>(of_day % 60);
  *date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  *time = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

int64_t NowFileTime() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochIn100ns + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// A Windows program: an MZ header whose new-header offset points, inside the file, at one of the known
// signatures. Every value read must be there in full; offsets are computed without wrapping.
bool LooksExecutable(HANDLE file, uint64_t size) {
  if (size <= 40) return false;
  uint8_t head[64];
  DWORD got = 0;
  if (!ReadFile(file, head, sizeof head, &got, nullptr) || got != sizeof head) return false;
  if (head[0] != 0x4D || head[1] != 0x5A) return false;
  uint64_t new_header = Get32(head + 0x3C);
  if (new_header + 52 >= size) return false;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<int64_t>(new_header);
  uint8_t signature[4];
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  if (!ReadFile(file, signature, sizeof signature, &got, nullptr) || got != sizeof signature) return false;
  uint32_t value = Get32(signature);
  return value == 0x5A4D || value == 0x454E || value == 0x454C || value == 0x4550;
}

bool SameFile(const std::string& a, const std::wstring& b) {
  std::error_code ec;
  return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(qelplat::WideToPath(b)), ec) &&
         !ec;
}

// Only plain files are read: a pipe or a device could block the packing for ever or never end.
bool IsPlainFile(const std::wstring& path) {
  std::error_code ec;
  std::filesystem::file_status status = std::filesystem::status(qelplat::WideToPath(path), ec);
  return !ec && std::filesystem::is_regular_file(status);
}

// A link to a folder is not walked into: a link back up the tree would never end.
bool IsLinkToFolder(const std::wstring& path) {
  std::string narrow = qelplat::WideToPath(path);
  std::error_code ec;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(narrow, ec))) return false;
  return std::filesystem::is_directory(std::filesystem::status(narrow, ec));
}

std::vector<uint8_t> LocalHeader(const std::string& name, uint16_t flags, uint16_t method, uint16_t dosTime,
                                 uint16_t dosDate, uint32_t crc, uint32_t compressed, uint32_t uncompressed,
                                 const int32_t* unixTimes) {
  std::vector<uint8_t> out;
  out.reserve(kLocalHeaderSize + name.size() + kLocalExtraSize);
  Put32(out, kLocalSignature);
  Put16(out, kVersionNeeded);
  Put16(out, flags);
  Put16(out, method);
  Put16(out, dosTime);
  Put16(out, dosDate);
  Put32(out, crc);
  Put32(out, compressed);
  Put32(out, uncompressed);
  Put16(out, static_cast<unsigned>(name.size()));
  Put16(out, kLocalExtraSize);
  out.insert(out.end(), name.begin(), name.end());
  Put16(out, kTimestampId);
  Put16(out, 13);
  out.push_back(7);
  for (int i = 0; i < 3; ++i) Put32(out, static_cast<uint32_t>(unixTimes[i]));
  return out;
}

ZipWriter* WriterOf(ZipHandle* handle, uint32_t* code) {
  if (!handle) {
    *code = ZR_ARGS;
    return nullptr;
  }
  if (handle->kind != 2 || !handle->writer) {
    *code = ZR_WRONGKIND;
    return nullptr;
  }
  return handle->writer;
}

// The paths a caller hands the library separate folders with "\" or "/", as on Windows; the names the
// file system holds below them are taken as they are, a backslash in them being a character.
std::wstring CallerPath(const std::wstring& path) {
  std::wstring native = path;
  std::replace(native.begin(), native.end(), L'\\', L'/');
  return native;
}

// Within a path of the file system "/" alone separates folders.
std::wstring LastComponent(const std::wstring& path, bool dropTrailing) {
  std::wstring trimmed = path;
  if (dropTrailing) {
    while (trimmed.size() > 1 && trimmed.back() == L'/') trimmed.pop_back();
  }
  std::wstring::size_type slash = trimmed.find_last_of(L'/');
  return slash == std::wstring::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

struct ZipWriter::TSource {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool read_failed = false;
  bool too_long = false;  // more than a 32-bit size: refused, not cut
  uint64_t read = 0;
  uint32_t crc = 0;

  ~TSource() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

ZipWriter::~ZipWriter() { Close(); }

uint32_t ZipWriter::Create(const wchar_t* zipPath, std::unique_ptr<ZipWriter>* writer) {
  writer->reset();
  if (!zipPath) return ZR_NOFILE;
  std::wstring path = zipPath;
  std::unique_ptr<ZipWriter> made(new (std::nothrow) ZipWriter);
  if (!made) return ZR_NOFILE;
  made->buffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
  if (!made->buffer_) return ZR_NOFILE;
  made->file_ = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made->file_ == INVALID_HANDLE_VALUE) return ZR_NOFILE;
  made->path_ = qelplat::WideToPath(path);
  *writer = std::move(made);
  return 0;
}

bool ZipWriter::WriteAll(const void* data, size_t size) {
  DWORD done = 0;
  BOOL ok = WriteFile(file_, data, static_cast<DWORD>(size), &done, nullptr);
  written_ += done;
  return ok && done == size;
}

// After a failed write the file may hold part of what was asked: the next entry starts at the real end.
void ZipWriter::ResyncEnd() {
  LARGE_INTEGER zero{};
  LARGE_INTEGER end{};
  if (SetFilePointerEx(file_, zero, &end, FILE_END)) written_ = static_cast<uint64_t>(end.QuadPart);
}

uint32_t ZipWriter::OpenSource(const wchar_t* sourcePath, TSource* source, TEntry* entry) {
  if (!sourcePath) return ZR_NOFILE;
  std::wstring path = sourcePath;
  // The archive cannot be its own member (on Windows it is open without sharing, so this fails there too).
  if (SameFile(path_, path) || !IsPlainFile(path)) return ZR_NOFILE;
  source->file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source->file == INVALID_HANDLE_VALUE) return ZR_NOFILE;
  DWORD attributes = GetFileAttributesW(path.c_str());
  FILETIME created{}, accessed{}, modified{};
  LARGE_INTEGER size{};
  if (attributes == INVALID_FILE_ATTRIBUTES || !GetFileTime(source->file, &created, &accessed, &modified) ||
      !GetFileSizeEx(source->file, &size)) {
    return ZR_NOFILE;
  }
  uint64_t length = static_cast<uint64_t>(size.QuadPart);
  if (length > kMaxField) return ZR_WRITE;
  bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  bool executable = LooksExecutable(source->file, length);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(source->file, start, nullptr, FILE_BEGIN)) return ZR_NOFILE;
  uint32_t mode = ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0x4000 : 0x8000) | 0x0100 | (read_only ? 0 : 0x0080) |
                  (executable ? 0x0040 : 0);
  entry->external_attributes = (attributes & kDosAttributeMask) | (mode << 16);
  entry->uncompressed_size = static_cast<uint32_t>(length);
  entry->compressed_size = entry->method == kMethodStored ? static_cast<uint32_t>(length) : 0;
  int64_t modified_time = qelplat::FileTimeToInt64(modified);
  DosDateTime(modified_time, &entry->dos_date, &entry->dos_time);
  entry->unix_times[0] = UnixSeconds(modified_time);
  entry->unix_times[1] = UnixSeconds(qelplat::FileTimeToInt64(accessed));
  entry->unix_times[2] = UnixSeconds(qelplat::FileTimeToInt64(created));
  return 0;
}

size_t ZipWriter::ReadSource(TSource* source, uint8_t* buffer, size_t size) {
  if (source->read_failed || source->too_long) return 0;
  DWORD got = 0;
  if (!ReadFile(source->file, buffer, static_cast<DWORD>(size), &got, nullptr)) {
    source->read_failed = true;
    return 0;
  }
  if (source->read + got > kMaxField) {
    source->too_long = true;
    return 0;
  }
  source->read += got;
  source->crc = static_cast<uint32_t>(crc32(source->crc, buffer, got));
  return got;
}

bool ZipWriter::WriteData(TEntry* entry, const uint8_t* data, size_t size) {
  if (static_cast<uint64_t>(entry->compressed_size) + size > kMaxField) return false;
  if (!WriteAll(data, size)) return false;
  entry->compressed_size += static_cast<uint32_t>(size);
  return true;
}

uint32_t ZipWriter::StoreData(TSource* source, TEntry* entry) {
  entry->compressed_size = 0;
  for (;;) {
    size_t got = ReadSource(source, buffer_.get(), kBufferSize);
    if (got == 0) break;
    if (!WriteData(entry, buffer_.get(), got)) return ZR_WRITE;
  }
  if (source->read_failed || source->too_long) return ZR_WRITE;
  return ZR_OK;
}

uint32_t ZipWriter::DeflateData(TSource* source, TEntry* entry) {
  if (!deflater_) {
    try {
      deflater_.reset(new CDeflater);
    } catch (const std::bad_alloc&) {
      return ZR_WRITE;
    }
  }
  entry->compressed_size = 0;
  bool write_failed = false;
  deflater_->Setup([this, source](uint8_t* buffer, size_t size) { return ReadSource(source, buffer, size); },
                   [this, entry, &write_failed](const uint8_t* data, size_t size) {
                     if (!WriteData(entry, data, size)) write_failed = true;
                     return !write_failed;
                   },
                   buffer_.get(), kBufferSize, kLevel);
  uint16_t flags = 0;
  if (!deflater_->DeflateStart(kLevel, &flags)) return ZR_WRITE;
  entry->flags = flags;
  deflater_->DeflateRun();
  if (deflater_->Message() || write_failed || source->read_failed || source->too_long) return ZR_WRITE;
  return 0;
}

bool ZipWriter::RewriteLocalHeader(const TEntry& entry) {
  std::vector<uint8_t> header =
      LocalHeader(entry.name, entry.flags, entry.method, entry.dos_time, entry.dos_date, entry.crc,
                  entry.compressed_size, entry.uncompressed_size, entry.unix_times);
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<int64_t>(entry.header_offset);
  if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
  DWORD done = 0;
  bool ok = WriteFile(file_, header.data(), static_cast<DWORD>(header.size()), &done, nullptr) && done == header.size();
  LARGE_INTEGER zero{};
  return SetFilePointerEx(file_, zero, nullptr, FILE_END) && ok;
}

uint32_t ZipWriter::Add(const wchar_t* sourcePath, const wchar_t* entryName, EZipAddKind kind, EZipNameFrom from) {
  if (closed_) return kClosed;
  if (!entryName || !*entryName) return ZR_ARGS;
  std::wstring name = entryName;
  // A caller's name may use "\" as a separator; a file system's name holds it as a character.
  if (from == ZIP_NAME_FROM_CALLER) std::replace(name.begin(), name.end(), L'\\', L'/');
  bool folder = kind == ZIP_ADD_FOLDER;
  if (folder && name.back() != L'/') name.push_back(L'/');
  // The reader takes back exactly this many characters: a longer name is refused, never cut.
  if (name.size() > kMaxNameChars) return ZR_ARGS;
  bool complete = true;
  std::string stored = qelplat::WideToPath(name, &complete);
  if (!complete) return ZR_ARGS;
  // Without ZIP64 the directory counts entries in 16 bits and places them at 32-bit offsets.
  if (entries_.size() >= kMaxEntries || written_ > kMaxField) return ZR_WRITE;

  TEntry entry;
  entry.name = stored;
  entry.method = folder || HasStoredSuffix(name) ? kMethodStored : kMethodDeflated;
  entry.header_offset = static_cast<uint32_t>(written_);
  TSource source;
  if (folder) {
    int64_t now = NowFileTime();
    DosDateTime(now, &entry.dos_date, &entry.dos_time);
    entry.unix_times[0] = entry.unix_times[1] = entry.unix_times[2] = UnixSeconds(now);
    entry.external_attributes = kFolderAttributes;
  } else {
    uint32_t opened = OpenSource(sourcePath, &source, &entry);
    if (opened != 0) return opened;
  }
  if (entry.method == kMethodDeflated) entry.flags = 2;
  std::vector<uint8_t> header =
      LocalHeader(entry.name, entry.flags | kFlagSizesAfterData, entry.method, entry.dos_time, entry.dos_date, 0,
                  entry.compressed_size, entry.uncompressed_size, entry.unix_times);
  if (!WriteAll(header.data(), header.size())) {
    ResyncEnd();
    return ZR_WRITE;
  }
  if (!folder) {
    uint32_t stored = entry.method == kMethodStored ? StoreData(&source, &entry) : DeflateData(&source, &entry);
    CloseHandle(source.file);
    source.file = INVALID_HANDLE_VALUE;
    if (stored != 0) {
      ResyncEnd();
      return stored;
    }
    entry.crc = source.crc;
    entry.uncompressed_size = static_cast<uint32_t>(source.read);
  }
  if (!RewriteLocalHeader(entry)) {
    ResyncEnd();
    return ZR_WRITE;
  }
  // An entry that ends past the 32-bit offsets leaves no room for a directory anyone could find.
  if (written_ > kMaxField) return ZR_WRITE;
  entries_.push_back(std::move(entry));
  return 0;
}

uint32_t ZipWriter::Close() {
  if (closed_) return 0;
  closed_ = true;
  uint32_t result = 0;
  uint64_t directory_offset = written_;
  if (directory_offset > kMaxField) result = ZR_WRITE;
  std::vector<uint8_t> chunk;
  for (size_t i = 0; i < entries_.size() && result == 0; ++i) {
    const TEntry& e = entries_[i];
    Put32(chunk, kCentralSignature);
    Put16(chunk, kVersionMadeBy);
    Put16(chunk, kVersionNeeded);
    Put16(chunk, e.flags);
    Put16(chunk, e.method);
    Put16(chunk, e.dos_time);
    Put16(chunk, e.dos_date);
    Put32(chunk, e.crc);
    Put32(chunk, e.compressed_size);
    Put32(chunk, e.uncompressed_size);
    Put16(chunk, static_cast<unsigned>(e.name.size()));
    Put16(chunk, kCentralExtraSize);
    Put16(chunk, 0);  // comment
    Put16(chunk, 0);  // disk
    Put16(chunk, 0);  // internal attributes
    Put32(chunk, e.external_attributes);
    Put32(chunk, e.header_offset);
    chunk.insert(chunk.end(), e.name.begin(), e.name.end());
    Put16(chunk, kTimestampId);
    Put16(chunk, 5);
    chunk.push_back(7);
    Put32(chunk, static_cast<uint32_t>(e.unix_times[0]));
    if (chunk.size() >= kBufferSize || i + 1 == entries_.size()) {
      if (!WriteAll(chunk.data(), chunk.size())) result = ZR_WRITE;
      chunk.clear();
    }
  }
  uint64_t directory_size = written_ - directory_offset;
  if (result == 0 && directory_offset + directory_size > kMaxField) result = ZR_WRITE;
  if (result == 0) {
    std::vector<uint8_t> end;
    Put32(end, kEndSignature);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<unsigned>(entries_.size()));
    Put16(end, static_cast<unsigned>(entries_.size()));
    Put32(end, static_cast<uint32_t>(directory_size));
    Put32(end, static_cast<uint32_t>(directory_offset));
    Put16(end, 0);
    if (!WriteAll(end.data(), end.size())) result = ZR_WRITE;
  }
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  return result;
}

uint32_t CreateZip(const wchar_t* zipPath, ZipHandle** handle) {
  *handle = nullptr;
  std::unique_ptr<ZipWriter> writer;
  uint32_t code = ZipWriter::Create(zipPath, &writer);
  if (code != 0) return code;
  ZipHandle* made = new (std::nothrow) ZipHandle{2, nullptr, writer.get()};
  if (!made) return ZR_NOFILE;
  writer.release();
  *handle = made;
  return 0;
}

uint32_t ZipAdd(ZipWriter* writer, const wchar_t* sourcePath, const wchar_t* entryName, EZipAddKind kind) {
  if (!writer) return ZR_ARGS;
  return writer->Add(sourcePath, entryName, kind, ZIP_NAME_FROM_CALLER);
}

uint32_t CloseZip(ZipHandle* handle) {
  uint32_t code = 0;
  ZipWriter* writer = WriterOf(handle, &code);
  return writer ? writer->Close() : code;
}

void FreeZipWriter(ZipHandle* handle) {
  if (!handle) return;
  if (handle->kind == 2) delete handle->writer;
  handle->writer = nullptr;
  delete handle;
}

uint32_t AddFileToZip(ZipHandle* handle, const wchar_t* path) {
  uint32_t code = 0;
  ZipWriter* writer = WriterOf(handle, &code);
  if (!writer) return code;
  if (!path) return ZR_NOFILE;
  std::wstring name = LastComponent(path, false);
  return writer->Add(path, name.c_str(), ZIP_ADD_FILE, ZIP_NAME_FROM_FILE_SYSTEM);
}

uint32_t AddFolderToZip(const wchar_t* path, ZipHandle* handle) {
  if (!path) return ZR_NOFILE;
  std::wstring folder = path;
  std::wstring prefix = LastComponent(folder, true);
  if (prefix == L"/") prefix.clear();
  while (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
  return AddFolderRecursive(handle, folder, prefix);
}

// Names travel as the bytes the file system holds (see PathToWide), joined by "/".
uint32_t AddFolderRecursive(ZipHandle* handle, const std::wstring& folder, const std::wstring& prefix) {
  uint32_t code = 0;
  ZipWriter* writer = WriterOf(handle, &code);
  if (!writer) return code;
  std::string base = qelplat::WideToPath(folder);
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((base == "/" ? std::string("/*.*") : base + "/*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::wstring parent = folder == L"/" ? std::wstring() : folder;
  uint32_t first = 0;
  do {
    std::string leaf = found.cFileName;
    if (leaf == "." || leaf == "..") continue;
    std::wstring name = qelplat::PathToWide(leaf);
    std::wstring entry = prefix.empty() ? name : prefix + L"/" + name;
    std::wstring path = parent + L"/" + name;
    uint32_t result = 0;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      result = writer->Add(nullptr, entry.c_str(), ZIP_ADD_FOLDER, ZIP_NAME_FROM_FILE_SYSTEM);
      uint32_t below = AddFolderRecursive(handle, path, entry);
      if (result == 0) result = below;
    } else if (!IsLinkToFolder(path)) {
      result = writer->Add(path.c_str(), entry.c_str(), ZIP_ADD_FILE, ZIP_NAME_FROM_FILE_SYSTEM);
    }
    if (first == 0) first = result;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return first;
}

int PackIntoZip(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned count) {
  ZipHandle* raw = nullptr;
  if (!zipPath || CreateZip(CallerPath(zipPath).c_str(), &raw) != 0) return 23;
  std::unique_ptr<ZipHandle, void (*)(ZipHandle*)> handle(raw, FreeZipWriter);
  uint32_t result = 0;
  for (unsigned i = 0; i < count && result == 0; ++i) {
    std::wstring item = CallerPath(std::wstring(files[i], wcsnlen(files[i], 260)));
    DWORD attributes = GetFileAttributesW(item.c_str());
    // A list entry that is not there is an error, not an empty folder.
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      result = ZR_NOFILE;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      result = AddFolderToZip(item.c_str(), handle.get());
    } else {
      result = AddFileToZip(handle.get(), item.c_str());
    }
  }
  uint32_t closed = CloseZip(handle.get());
  return static_cast<int>(result != 0 ? result : closed);
}

}  // namespace QelCompress
