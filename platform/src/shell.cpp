#include "qelplat/shell.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"

int SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
  if (!path || !*path) return ERROR_INVALID_PARAMETER;
  std::string full = qelplat::WideToUtf8(path);
  struct stat st;
  if (stat(full.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
  for (size_t pos = 1; pos <= full.size(); ++pos) {
    if (pos != full.size() && full[pos] != '/') continue;
    std::string level = full.substr(0, pos);
    if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
      int err = static_cast<int>(qelplat::Win32FromErrno(errno));
      SetLastError(err);
      return err;
    }
  }
  return ERROR_SUCCESS;
}
