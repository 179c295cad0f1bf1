#include "qelplat/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A shared parent (/tmp, or a TMPDIR open to others) gets a folder of ours below it, closed to everyone else;
// one that someone else made first, or a link put in its place, is refused and never followed.
bool PrivateTempFolder(const std::string& parent, std::string* folder) {
  std::string path = parent + "/qel-" + std::to_string(geteuid());
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    qelplat::SetLastErrorFromErrno(true);
    return false;
  }
  if (qelplat::CheckPrivateFolder(path, 077).trust != qelplat::FOLDER_PRIVATE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  *folder = path;
  return true;
}

}  // namespace

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  std::string folder;
  std::string parent = "/tmp";
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir && tmpdir[0] == '/' && IsFolder(tmpdir)) {
    parent = tmpdir;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    // Only a folder no one else may write to is used as it is: in any other, another user could put a
    // folder of a product's name before ours and swap the installer in it.
    if (qelplat::CheckPrivateFolder(parent).trust == qelplat::FOLDER_PRIVATE) folder = parent;
    if (parent == "/") parent.clear();
  }
  if (folder.empty() && !PrivateTempFolder(parent, &folder)) return 0;
  if (folder.back() != '/') folder.push_back('/');
  DWORD needed = static_cast<DWORD>(folder.size() + 1);
  if (!buffer || size < needed) return needed;
  memcpy(buffer, folder.c_str(), needed);
  return needed - 1;
}
