#pragma once
// Zip extraction on minizip: the input source the unzip code reads through, the reader, the listing of one
// item and the extraction of one item or of a whole archive below a folder. Nothing is ever written outside
// the destination folder.
#include <cstdint>
#include <memory>
#include <string>

#include "qelplat/fileio.h"

namespace QelCompress {

enum EZipResult : uint32_t {
  ZR_OK = 0,
  ZR_NOFILE = 0x200,
  ZR_WRITE = 0x400,
  ZR_CORRUPT = 0x700,
  ZR_READ = 0x800,
  ZR_PASSWORD = 0x1000,
  ZR_ARGS = 0x10000,
  ZR_NOTSET = 0x40000,
  ZR_WRONGKIND = 0x80000,
  ZR_FLATE = 0x5000000,
};

struct ZipEntry {
  int32_t index;
  wchar_t name[520];
  uint32_t attributes;  // Windows attribute bits
  FILETIME access_time;
  FILETIME creation_time;
  FILETIME modification_time;
  int32_t compressed_size;
  int32_t uncompressed_size;
  uint32_t unix_mode;  // permission bits recorded by a Unix host, 0 when none
};

struct ZipReader;
class ZipWriter;

struct ZipHandle {
  int32_t kind;  // 1 reader, 2 writer
  ZipReader* reader;
  ZipWriter* writer = nullptr;
};

// 0x200 when the file cannot be opened or holds no zip directory.
uint32_t OpenZip(const wchar_t* path, ZipHandle** handle);
uint32_t GetZipItem(ZipHandle* handle, int index, ZipEntry& entry);
// Extracts item index below root at the relative path ("a/b/c"). Names that would leave root fail with 0x200.
uint32_t UnzipItem(ZipHandle* handle, int index, const std::string& root, const std::wstring& name);
uint32_t CloseZipReader(ZipHandle* handle);
uint32_t UnzipToFolder(const wchar_t* archive, const wchar_t* destDir);

}  // namespace QelCompress
