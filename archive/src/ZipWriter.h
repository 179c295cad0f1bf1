#pragma once
// The zip writer behind packing: creating the archive, adding one entry (stored, or deflated by the
// library's own compressor), the central directory and its end record, and the folder walk that names the
// entries. It writes plain zip archives: no ZIP64, no encryption, no data descriptors. Whatever would not
// fit the 32-bit sizes and offsets or the 16-bit entry count is refused (0x400) rather than written with
// cut fields. A writer belongs to one thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ZipReader.h"
#include "qelplat/fileio.h"

namespace QelCompress {

class CDeflater;

enum EZipAddKind { ZIP_ADD_FILE = 1, ZIP_ADD_FOLDER = 2 };
// Where an entry's name comes from: a caller, who may separate folders with "\" as on Windows, or the file
// system, whose names hold "\" as an ordinary character and are joined by "/".
enum EZipNameFrom { ZIP_NAME_FROM_CALLER, ZIP_NAME_FROM_FILE_SYSTEM };

class ZipWriter {
 public:
  static const uint32_t kMaxEntries = 65535;
  // The longest entry name, in wide characters (a byte outside valid UTF-8 counts as one), as the reader
  // takes names back.
  static const unsigned kMaxNameChars = 519;
  static const size_t kBufferSize = 16384;

  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Creates or replaces the archive file; 0x200 when it cannot be created.
  static uint32_t Create(const wchar_t* zipPath, std::unique_ptr<ZipWriter>* writer);
  // One entry: a file read from sourcePath, or a folder (sourcePath unused). A name that is empty, longer
  // than kMaxNameChars or not storable byte for byte is refused with 0x10000.
  uint32_t Add(const wchar_t* sourcePath, const wchar_t* entryName, EZipAddKind kind, EZipNameFrom from);
  // Writes the central directory and the end record and closes the file. A second call does nothing.
  uint32_t Close();

 private:
  struct TEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t crc = 0;
    uint32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint32_t external_attributes = 0;
    uint32_t header_offset = 0;
    int32_t unix_times[3] = {};  // modification, access, creation
    std::string name;
  };
  struct TSource;

  ZipWriter() = default;
  uint32_t OpenSource(const wchar_t* sourcePath, TSource* source, TEntry* entry);
  uint32_t StoreData(TSource* source, TEntry* entry);
  uint32_t DeflateData(TSource* source, TEntry* entry);
  size_t ReadSource(TSource* source, uint8_t* buffer, size_t size);
  bool WriteData(TEntry* entry, const uint8_t* data, size_t size);
  bool WriteAll(const void* data, size_t size);
  bool RewriteLocalHeader(const TEntry& entry);
  void ResyncEnd();

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string path_;  // the archive's own path, so that it is never packed into itself
  uint64_t written_ = 0;
  bool closed_ = false;
  std::vector<TEntry> entries_;
  std::unique_ptr<CDeflater> deflater_;  // made at the first deflated entry
  std::unique_ptr<uint8_t[]> buffer_;
};

// The handle-level interface. Codes: 0x10000 null handle or a name that cannot be stored, 0x80000 a reader handle,
// 0x50000 closed writer, 0x200 cannot create or open, 0x400 cannot write or does not fit.
uint32_t CreateZip(const wchar_t* zipPath, ZipHandle** handle);
uint32_t ZipAdd(ZipWriter* writer, const wchar_t* sourcePath, const wchar_t* entryName, EZipAddKind kind);
uint32_t CloseZip(ZipHandle* handle);
// Releases the writer and the handle (closing the archive first when that has not happened).
void FreeZipWriter(ZipHandle* handle);
// The file under its own name, at the top of the archive.
uint32_t AddFileToZip(ZipHandle* handle, const wchar_t* path);
// The folder's tree below the folder's own name.
uint32_t AddFolderToZip(const wchar_t* path, ZipHandle* handle);
uint32_t AddFolderRecursive(ZipHandle* handle, const std::wstring& folder, const std::wstring& prefix);

// Packs the files and folders of the list into a new archive: 23 when it cannot be created, else the first
// failing entry's code, else the result of closing. In the archive's path and the list, "\" separates
// folders as "/" does; names found in the listed folders keep a "\" as a character.
int PackIntoZip(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned count);

}  // namespace QelCompress
