#pragma once
// Reads of an archive's bytes at given offsets, for the readers of our own that check what the unpacking
// libraries read: from the archive file, or from bytes already in memory.
#include <cstdint>
#include <string>
#include <vector>

#include "qelplat/fileio.h"

namespace QelCompress {

class CArchiveBytes {
 public:
  virtual ~CArchiveBytes() = default;
  virtual bool Size(uint64_t* size) const = 0;
  // Exactly size bytes from offset, or false.
  virtual bool Read(uint64_t offset, uint64_t size, std::vector<unsigned char>* bytes) const = 0;
};

class CArchiveFile : public CArchiveBytes {
 public:
  explicit CArchiveFile(const wchar_t* path);
  ~CArchiveFile() override;
  CArchiveFile(const CArchiveFile&) = delete;
  CArchiveFile& operator=(const CArchiveFile&) = delete;

  bool Size(uint64_t* size) const override;
  bool Read(uint64_t offset, uint64_t size, std::vector<unsigned char>* bytes) const override;

 private:
  HANDLE m_file;
};

class CArchiveMemory : public CArchiveBytes {
 public:
  CArchiveMemory(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}

  bool Size(uint64_t* size) const override;
  bool Read(uint64_t offset, uint64_t size, std::vector<unsigned char>* bytes) const override;

 private:
  const unsigned char* m_data;
  size_t m_size;
};

uint64_t LittleEndian(const unsigned char* p, int bytes);

}  // namespace QelCompress
