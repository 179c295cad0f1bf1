#include "qelplat/lasterror.h"

#include <cerrno>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

namespace qelplat {

DWORD Win32FromErrno(int err, bool pathContext) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return pathContext ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ETXTBSY:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno(bool pathContext) {
  DWORD code = Win32FromErrno(errno, pathContext);
  SetLastError(code);
  return code;
}

}  // namespace qelplat
