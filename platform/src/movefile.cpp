#include "qelplat/movefile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "qelplat/lasterror.h"

namespace {

// Not every file system knows the flags of renameat2 (NFS, most FUSE and 9p ones do not): they answer EINVAL,
// a kernel without the call ENOSYS.
bool FlagsUnknown(int err) { return err == EINVAL || err == ENOSYS; }

BOOL Failed() {
  // A folder that is not empty cannot be replaced: as on Windows, something is in the way.
  if (errno == ENOTEMPTY) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  qelplat::SetLastErrorFromErrno();
  return FALSE;
}

BOOL MoveWithoutReplacing(const char* existing, const char* newName) {
  if (renameat2(AT_FDCWD, existing, AT_FDCWD, newName, RENAME_NOREPLACE) == 0) return TRUE;
  if (!FlagsUnknown(errno)) return Failed();
  // Looked at first, then moved: only the user's own processes write in the folders this is used in.
  struct stat st;
  if (lstat(newName, &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (errno != ENOENT) return Failed();
  return rename(existing, newName) == 0 ? TRUE : Failed();
}

}  // namespace

BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
  if (!existing || !newName || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return MoveWithoutReplacing(existing, newName);
}

namespace qelplat {

BOOL ExchangePaths(const std::string& a, const std::string& b) {
  if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return TRUE;
  if (FlagsUnknown(errno)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return Failed();
}

}  // namespace qelplat
