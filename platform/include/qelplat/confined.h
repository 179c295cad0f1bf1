#pragma once
#include <cstddef>
#include <string>

#include "qelplat/fileio.h"

namespace qelplat {

// Files and folders made strictly below a root folder from a relative path that an outside source (an
// archive) supplied. Every level is opened with O_NOFOLLOW relative to the one above it, so a symbolic link
// planted below the root (the work folder survives between packages) can never redirect a write outside it.
// The relative path uses "/" and must hold no "", "." or ".." component; such paths fail with
// ERROR_INVALID_PARAMETER and nothing is made.
bool MakeFoldersBelow(const std::string& root, const std::string& relative);

class CConfinedFile {
 public:
  CConfinedFile() = default;
  ~CConfinedFile();
  CConfinedFile(const CConfinedFile&) = delete;
  CConfinedFile& operator=(const CConfinedFile&) = delete;

  // Replaces whatever non-folder sits at the path (a read-only file, a link) with a new empty file.
  bool Create(const std::string& root, const std::string& relative);
  bool Write(const void* data, size_t size);
  // Mode bits as recorded by a Unix host (0 keeps the default 0644), without the write bits of group and
  // others; read-only clears the owner's write bit too.
  bool SetMode(unsigned mode, bool readOnly);
  bool SetTimes(const FILETIME& access, const FILETIME& modification);
  bool Close();

 private:
  int fd_ = -1;
};

}  // namespace qelplat
