#include "qelplat/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "qelplat/lasterror.h"
#include "qelplat/privatefolder.h"

namespace {

const char kDeletedSuffix[] = " (deleted)";

std::string ProgramPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  std::string path(buf, static_cast<size_t>(n));
  size_t suffix = sizeof(kDeletedSuffix) - 1;
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeletedSuffix) == 0)
    path.resize(path.size() - suffix);
  return path;
}

}  // namespace

DWORD GetModuleFileNameA(HANDLE, LPSTR buffer, DWORD size) {
  std::string path = ProgramPath();
  if (path.empty()) {
    qelplat::SetLastErrorFromErrno();
    return 0;
  }
  if (!buffer || size == 0) {
    SetLastError(122);
    return 0;
  }
  if (path.size() + 1 > size) {
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER: the caller must not trust a cut path
    return size;
  }
  memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
  if (!path || chdir(path) != 0) {
    qelplat::SetLastErrorFromErrno(true);
    return FALSE;
  }
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  char buf[4096];
  if (!getcwd(buf, sizeof(buf))) {
    qelplat::SetLastErrorFromErrno();
    return 0;
  }
  size_t n = strlen(buf);
  if (!buffer || n + 1 > size) return static_cast<DWORD>(n + 1);
  memcpy(buffer, buf, n + 1);
  return static_cast<DWORD>(n);
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  std::string folder = qelplat::ChooseTempFolder().folder;
  if (folder.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  DWORD needed = static_cast<DWORD>(folder.size() + 1);
  if (!buffer || size < needed) return needed;
  memcpy(buffer, folder.c_str(), needed);
  return needed - 1;
}
