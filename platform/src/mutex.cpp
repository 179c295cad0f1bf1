#include "qelplat/mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"

namespace qelplat {
namespace {

struct NamedMutexObject : KernelObject {
  explicit NamedMutexObject(int descriptor) : fd(descriptor) {}
  ~NamedMutexObject() override {
    if (fd >= 0) close(fd);  // closing the last descriptor drops the flock
  }
  int fd;
};

// A folder we made or that is ours alone: a folder of another user in /tmp could be used to steal or
// block the name.
bool UsablePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

bool ValidName(const char* name) {
  if (!name || !*name) return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr && strlen(name) <= 200;
}

}  // namespace

std::string NamedMutexFolder() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    struct stat st;
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
      std::string folder = std::string(runtime) + "/qel";
      if (UsablePrivateFolder(folder)) return folder;
    }
  }
  std::string folder = "/tmp/qel-" + std::to_string(geteuid());
  if (UsablePrivateFolder(folder)) return folder;
  SetLastErrorFromErrno();
  return std::string();
}

}  // namespace qelplat

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL, LPCSTR name) {
  if (!qelplat::ValidName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string folder = qelplat::NamedMutexFolder();
  if (folder.empty()) return nullptr;
  std::string path = folder + "/" + name + ".lock";
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    qelplat::SetLastErrorFromErrno();
    return nullptr;
  }
  auto object = std::make_unique<qelplat::NamedMutexObject>(fd);
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    if (errno != EWOULDBLOCK) {
      qelplat::SetLastErrorFromErrno();
      return nullptr;
    }
    // Someone holds the name. Windows hands out a handle to the existing mutex; ours holds nothing.
    HANDLE h = qelplat::RegisterHandle(std::move(object));
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
  }
  HANDLE h = qelplat::RegisterHandle(std::move(object));
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCWSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string narrow = qelplat::WideToUtf8(name);
  return CreateMutexA(attributes, initialOwner, narrow.c_str());
}
