#include "ArchiveBytes.h"

namespace QelCompress {

CArchiveFile::CArchiveFile(const wchar_t* path)
    : m_file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr)) {}

CArchiveFile::~CArchiveFile() {
  if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

bool CArchiveFile::Size(uint64_t* size) const {
  LARGE_INTEGER value{};
  if (m_file == INVALID_HANDLE_VALUE || !GetFileSizeEx(m_file, &value) || value.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool CArchiveFile::Read(uint64_t offset, uint64_t size, std::vector<unsigned char>* bytes) const {
  if (size > UINT32_MAX || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<int64_t>(offset);
  bytes->assign(static_cast<size_t>(size), 0);
  DWORD got = 0;
  return SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN) &&
         ReadFile(m_file, bytes->data(), static_cast<DWORD>(size), &got, nullptr) && got == size;
}

bool CArchiveMemory::Size(uint64_t* size) const {
  *size = m_size;
  return true;
}

bool CArchiveMemory::Read(uint64_t offset, uint64_t size, std::vector<unsigned char>* bytes) const {
  if (offset > m_size || size > m_size - offset) return false;
  bytes->assign(m_data + offset, m_data + offset + size);
  return true;
}

uint64_t LittleEndian(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace QelCompress
