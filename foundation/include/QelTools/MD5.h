#pragma once
// MD5 digests of files and strings as 32 upper-case hexadecimal digits. One object may serve many threads:
// each call holds the object's lock from its reset to the copy of the result.
#include <cstdint>
#include <mutex>
#include <string>

#include "qelplat/export.h"

namespace QEL {

class QEL_EXPORT MD5 {
 public:
  MD5();
  MD5(const MD5& other);
  MD5& operator=(const MD5& other);
  virtual ~MD5();

  // out must hold 256 bytes: they are cleared, then the digits and a NUL are written at the start.
  // A file that cannot be opened leaves the empty string. A null out returns null.
  char* GetMD5OfFile(const char* path, char* out);
  char* GetMD5OfString(const char* text, char* out);

 private:
  void Init();
  void Update(const unsigned char* data, unsigned length);
  void Transform(const unsigned char block[64]);
  std::string Final();

  unsigned char m_buffer[64];
  uint32_t m_count[2];
  uint32_t m_state[4];
  std::mutex m_lock;
};

}  // namespace QEL
