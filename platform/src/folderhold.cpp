#include "qelplat/folderhold.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "filelock.h"
#include "qelplat/lasterror.h"

namespace qelplat {

CFolderHold::~CFolderHold() { Release(); }

void CFolderHold::Release() {
  if (m_fd < 0) return;
  close(m_fd);  // the last descriptor of the open folder: the lock goes with it
  m_fd = -1;
}

EFolderHold CFolderHold::TryHold(const std::string& path) {
  Release();
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(true);
    return HOLD_FAILED;
  }
  const int err = TryExclusiveLock(fd);
  if (err == 0) {
    m_fd = fd;
    return HOLD_TAKEN;
  }
  close(fd);
  if (err == EWOULDBLOCK) return HOLD_BUSY;
  // NFS turns the lock into a byte-range one, which a folder (never open for writing) cannot take (EBADF);
  // other file systems answer ENOLCK or EOPNOTSUPP.
  return HOLD_UNSUPPORTED;
}

bool CFolderHold::HeldAt(const std::string& path) const { return m_fd >= 0 && NamesOpenFile(m_fd, path); }

}  // namespace qelplat
