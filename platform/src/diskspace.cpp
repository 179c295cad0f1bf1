#include "qelplat/diskspace.h"

#include <sys/statvfs.h>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"

BOOL GetDiskFreeSpaceExW(LPCWSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
  if (!folder) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct statvfs fs;
  if (statvfs(qelplat::WideToPath(folder).c_str(), &fs) != 0) {
    qelplat::SetLastErrorFromErrno(true);
    return FALSE;
  }
  uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
  if (freeToCaller) freeToCaller->QuadPart = static_cast<uint64_t>(fs.f_bavail) * unit;
  if (total) total->QuadPart = static_cast<uint64_t>(fs.f_blocks) * unit;
  if (totalFree) totalFree->QuadPart = static_cast<uint64_t>(fs.f_bfree) * unit;
  return TRUE;
}
