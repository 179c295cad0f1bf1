#include "qelplat/confined.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "ownedfd.h"
#include "qelplat/lasterror.h"

namespace {

using qelplat::CFd;

bool SplitComponents(const std::string& relative, std::vector<std::string>* parts) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    std::string part = relative.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    parts->push_back(part);
    start = slash + 1;
  }
  return !parts->empty();
}

bool Fail(int err) {
  SetLastError(qelplat::Win32FromErrno(err));
  return false;
}

int OpenFolder(int at, const std::string& name) {
  return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens (making when missing) each level below the root; returns the innermost folder or -1.
int WalkFolders(const std::string& root, const std::vector<std::string>& parts, size_t count) {
  CFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0) return Fail(errno), -1;
  for (size_t i = 0; i < count; ++i) {
    int next = OpenFolder(dir.Get(), parts[i]);
    if (next < 0 && errno == ENOENT) {
      if (mkdirat(dir.Get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno), -1;
      next = OpenFolder(dir.Get(), parts[i]);
    }
    if (next < 0) return Fail(errno == ELOOP ? ENOTDIR : errno), -1;
    dir.Reset(next);
  }
  return dir.Release();
}

}  // namespace

namespace qelplat {

bool MakeFoldersBelow(const std::string& root, const std::string& relative) {
  std::vector<std::string> parts;
  if (!SplitComponents(relative, &parts)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CFd dir(WalkFolders(root, parts, parts.size()));
  return dir.Get() >= 0;
}

CConfinedFile::~CConfinedFile() { Close(); }

bool CConfinedFile::Create(const std::string& root, const std::string& relative) {
  Close();
  std::vector<std::string> parts;
  if (!SplitComponents(relative, &parts)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CFd dir(WalkFolders(root, parts, parts.size() - 1));
  if (dir.Get() < 0) return false;
  const std::string& name = parts.back();
  struct stat st;
  if (fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (unlinkat(dir.Get(), name.c_str(), 0) != 0) return Fail(errno);
  }
  fd_ = openat(dir.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd_ < 0) return Fail(errno);
  return true;
}

bool CConfinedFile::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : ENOSPC);
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CConfinedFile::SetMode(unsigned mode, bool readOnly) {
  // Never writable by group or others, whatever the archive says: another user could rewrite an installer
  // between its unpacking and its start. Set-id and sticky bits are dropped too.
  mode_t bits = mode ? (mode & 0755) : 0644;
  if (readOnly) bits &= ~static_cast<mode_t>(0222);
  return fchmod(fd_, bits) == 0 || Fail(errno);
}

bool CConfinedFile::SetTimes(const FILETIME& access, const FILETIME& modification) {
  timespec times[2] = {UnixFromFileTime(access), UnixFromFileTime(modification)};
  return futimens(fd_, times) == 0 || Fail(errno);
}

bool CConfinedFile::Close() {
  if (fd_ < 0) return true;
  int rc = close(fd_);
  fd_ = -1;
  return rc == 0 || Fail(errno);
}

}  // namespace qelplat
