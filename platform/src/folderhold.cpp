#include "qelplat/folderhold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc == 0) {
    m_fd = fd;
    return HOLD_TAKEN;
  }
  const int err = errno;
  close(fd);
  if (err == EWOULDBLOCK) return HOLD_BUSY;
  // NFS turns the lock into a byte-range one, which a folder (never open for writing) cannot take (EBADF);
  // other file systems answer ENOLCK or EOPNOTSUPP.
  return HOLD_UNSUPPORTED;
}

bool CFolderHold::HeldAt(const std::string& path) const {
  struct stat held;
  struct stat there;
  if (m_fd < 0 || fstat(m_fd, &held) != 0 || lstat(path.c_str(), &there) != 0) return false;
  // A removed folder keeps no link count.
  return held.st_nlink > 0 && held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

}  // namespace qelplat
