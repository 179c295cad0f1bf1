#include "qelplat/mutex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "filelock.h"
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

// Opens that met a lock file replaced before it was locked, before the start gives up.
const int kLockAttempts = 16;

// The machine's host name as it may stand in a file name.
std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  std::string host = name;
  for (char& c : host) {
    if (c == '/') c = '_';
  }
  return host;
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
  // Always the one folder, whatever the environment names: a runtime folder another user made first, or
  // may remove and leave the user's login to make again, would let two starts lock in different places.
  TFolderRefusal refusal;
  std::string folder = PrivateCacheFolder(&refusal);
  if (!folder.empty()) return folder;
  t_failure = "locks lie only in ${XDG_CACHE_HOME:-~/.cache}/qel: " + refusal.folder + " " +
              DescribeFolderTrust(refusal.why, TRUST_IN_ENGLISH);
  SetLastError(ERROR_ACCESS_DENIED);
  return std::string();
}

std::string LockFileName(const std::string& name) { return name + "@" + HostName() + ".lock"; }

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
  std::string path = folder + "/" + qelplat::LockFileName(name);
  for (int attempt = 0; attempt < qelplat::kLockAttempts; ++attempt) {
    int fd = qelplat::OpenLockFile(path);
    if (fd < 0) return nullptr;
    auto object = std::make_unique<qelplat::NamedMutexObject>(fd);
    const int rc = qelplat::TryExclusiveLock(fd);
    if (rc != 0) {
      if (rc != EWOULDBLOCK) {
        errno = rc;
        return qelplat::FailWithErrno(path);
      }
      // Someone holds the name. Windows hands out a handle to the existing mutex; ours holds nothing.
      HANDLE h = qelplat::RegisterHandle(std::move(object));
      SetLastError(ERROR_ALREADY_EXISTS);
      return h;
    }
    // A file removed or replaced between our open and our lock is no one's name any more: a start that
    // opened the new one may hold that, so the lock is taken again on what the path names now.
    if (!qelplat::NamesOpenFile(fd, path)) continue;
    HANDLE h = qelplat::RegisterHandle(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return h;
  }
  return qelplat::Refuse(path, "keeps being replaced while it is locked");
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
