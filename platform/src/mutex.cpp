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
#include "qelplat/privatefolder.h"

namespace qelplat {
namespace {

thread_local std::string t_failure;

struct NamedMutexObject : KernelObject {
  explicit NamedMutexObject(int descriptor) : fd(descriptor) {}
  ~NamedMutexObject() override {
    if (fd >= 0) close(fd);  // closing the last descriptor drops the flock
  }
  int fd;
};

// A folder we made or that is ours alone: a folder of another user could be used to steal or block the
// name. False with the reason otherwise.
bool UsablePrivateFolder(const std::string& path, std::string* reason) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *reason = path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *reason = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *reason = path + " is not a folder";
  } else if (st.st_uid != geteuid()) {
    *reason = path + " belongs to another user";
  } else if ((st.st_mode & 022) != 0) {
    *reason = path + " may be written by others";
  } else {
    return true;
  }
  errno = EACCES;
  return false;
}

// The runtime folder of this user's login: the one the environment names, else the one a desktop session
// would name, so that starts with and without the variable agree. Empty when there is neither.
std::string RuntimeFolder() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (runtime && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) return runtime;
  std::string own = "/run/user/" + std::to_string(geteuid());
  if (lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0)
    return own;
  return std::string();
}

bool ValidName(const char* name) {
  if (!name || !*name) return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr && strlen(name) <= 200;
}

HANDLE Refuse(const std::string& path, const char* what) {
  t_failure = path + " " + what;
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

HANDLE FailWithErrno(const std::string& path) {
  t_failure = path + ": " + strerror(errno);
  SetLastErrorFromErrno();
  return nullptr;
}

// The lock file, made when missing; never a link followed, a folder or another user's file taken for it.
// Opened without blocking, so a fifo put in its place cannot hold us.
int OpenLockFile(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (fd < 0) {
    int error = errno;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      Refuse(path, "is a symbolic link, not a plain file");
    } else if (error == EISDIR) {
      Refuse(path, "is a folder, not a plain file");
    } else {
      errno = error;
      FailWithErrno(path);
    }
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    FailWithErrno(path);
  } else if (!S_ISREG(st.st_mode)) {
    Refuse(path, "is not a plain file");
  } else if (st.st_uid != geteuid()) {
    Refuse(path, "belongs to another user");
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

std::string NamedMutexFolder() {
  std::string reason;
  std::string runtime = RuntimeFolder();
  if (!runtime.empty() && UsablePrivateFolder(runtime + "/qel", &reason)) return runtime + "/qel";
  std::string folder = "/tmp/qel-" + std::to_string(geteuid());
  if (UsablePrivateFolder(folder, &reason)) return folder;
  // Another user may have taken /tmp/qel-<uid> first: the private folder in the home is ours alone.
  TFolderRefusal refusal;
  folder = PrivateCacheFolder(&refusal);
  if (!folder.empty()) return folder;
  t_failure = "no private folder for the lock: " + reason + "; nor " + refusal.folder;
  SetLastErrorFromErrno();
  return std::string();
}

std::string LastMutexFailure() { return t_failure; }

}  // namespace qelplat

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL, LPCSTR name) {
  if (!qelplat::ValidName(name)) {
    qelplat::t_failure = "not a usable mutex name";
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string folder = qelplat::NamedMutexFolder();
  if (folder.empty()) return nullptr;
  std::string path = folder + "/" + name + ".lock";
  int fd = qelplat::OpenLockFile(path);
  if (fd < 0) return nullptr;
  auto object = std::make_unique<qelplat::NamedMutexObject>(fd);
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    if (errno != EWOULDBLOCK) return qelplat::FailWithErrno(path);
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
    qelplat::t_failure = "not a usable mutex name";
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string narrow = qelplat::WideToUtf8(name);
  return CreateMutexA(attributes, initialOwner, narrow.c_str());
}
