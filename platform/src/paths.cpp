#include "qelplat/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <cerrno>
#include <cstring>
#include <string>

#include "qelplat/lasterror.h"

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

namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// /tmp is shared: the folder must be ours and closed to others, or another user could plant files in it.
bool PrivateTempFolder(std::string* folder) {
  std::string path = "/tmp/qel-" + std::to_string(getuid());
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    qelplat::SetLastErrorFromErrno(true);
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  *folder = path;
  return true;
}

}  // namespace

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  std::string folder;
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir && tmpdir[0] == '/' && IsFolder(tmpdir)) {
    folder = tmpdir;
  } else if (!PrivateTempFolder(&folder)) {
    return 0;
  }
  if (folder.back() != '/') folder.push_back('/');
  DWORD needed = static_cast<DWORD>(folder.size() + 1);
  if (!buffer || size < needed) return needed;
  memcpy(buffer, folder.c_str(), needed);
  return needed - 1;
}
