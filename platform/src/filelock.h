#pragma once
// The two questions the locks of this layer (the named mutexes and the folder holds) ask of a descriptor.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace qelplat {

// An exclusive flock taken without waiting, tried again when a signal cuts it short: 0, or the errno
// (EWOULDBLOCK while another open file holds it).
inline int TryExclusiveLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether path, its last step not followed, still names the very file fd is open on: a lock taken on a file
// that was removed or replaced meanwhile is no one's name any more.
inline bool NamesOpenFile(int fd, const std::string& path) {
  struct stat held;
  struct stat named;
  return fstat(fd, &held) == 0 && held.st_nlink > 0 && lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace qelplat
