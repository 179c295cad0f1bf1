#include "qelplat/privatefolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "fd.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"

namespace qelplat {
namespace {

const unsigned kPrivateBits = 077;

std::string Join(const std::string& parent, const std::string& name) {
  return parent == "/" ? parent + name : parent + "/" + name;
}

bool OwnedByRootOrUs(const struct stat& st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

// A folder through which no one but root and this user can change what a name below it leads to.
bool ClosedToRenames(const struct stat& st) {
  return OwnedByRootOrUs(st) && ((st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0);
}

TFolderTrust Judged(EFolderTrust trust, const struct stat& st) {
  TFolderTrust result;
  result.trust = trust;
  result.owner = static_cast<unsigned>(st.st_uid);
  result.mode = static_cast<unsigned>(st.st_mode & 07777);
  return result;
}

TFolderTrust OpenAbove(const std::string& at, const struct stat& st) {
  TFolderTrust result = Judged(FOLDER_OPEN_ABOVE, st);
  result.at = at;
  return result;
}

TFolderTrust NotMade(int err) {
  TFolderTrust result;
  result.trust = FOLDER_NOT_MADE;
  result.error = Win32FromErrno(err, true);
  return result;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Opens the last level of the absolute path (whatever it is: a link is opened as the link) with every level
// above it a folder closed to renames by others, each opened relative to the one above and none through a
// link. Returns the descriptor (O_PATH) and its state, or -1 with why.
int OpenJudged(const std::string& path, struct stat* st, TFolderTrust* why) {
  *why = TFolderTrust();
  if (path.empty() || path[0] != '/') return -1;
  CFd level(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (level.Get() < 0 || fstat(level.Get(), st) != 0) return -1;
  std::string walked;
  for (const std::string& part : Components(path)) {
    if (part == "." || part == "..") {
      why->trust = FOLDER_NOT_A_FOLDER;
      return -1;
    }
    if (!S_ISDIR(st->st_mode)) {
      *why = Judged(FOLDER_NOT_A_FOLDER, *st);
      why->at = walked;
      return -1;
    }
    if (!ClosedToRenames(*st)) {
      *why = OpenAbove(walked.empty() ? "/" : walked, *st);
      return -1;
    }
    level.Reset(openat(level.Get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (level.Get() < 0 || fstat(level.Get(), st) != 0) return -1;
    walked += "/" + part;
  }
  return level.Release();
}

TFolderTrust Classify(const struct stat& st, unsigned closedBits) {
  if (!S_ISDIR(st.st_mode)) return Judged(FOLDER_NOT_A_FOLDER, st);
  if (st.st_uid != geteuid()) return Judged(FOLDER_FOREIGN, st);
  if (st.st_mode & closedBits & 077) return Judged(FOLDER_SHARED, st);
  return Judged(FOLDER_PRIVATE, st);
}

// The path with every link resolved, false when it does not lead anywhere.
bool Resolved(const std::string& path, std::string* resolved) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) return false;
  *resolved = buffer;
  return true;
}

bool AbsoluteFolder(const char* path, std::string* resolved) {
  struct stat st;
  return path && path[0] == '/' && stat(path, &st) == 0 && S_ISDIR(st.st_mode) && Resolved(path, resolved);
}

// A folder of our own below parent, made 0700 when missing; true with its path when it is a real folder of
// ours, closed to everyone else, and writable.
bool PrivateFolderBelow(const std::string& parent, const std::string& name, std::string* folder,
                        TFolderRefusal* refusal) {
  refusal->folder = parent;
  struct stat st;
  CFd above(OpenJudged(parent, &st, &refusal->why));
  if (above.Get() < 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    refusal->why = Judged(FOLDER_NOT_A_FOLDER, st);
    return false;
  }
  if (!ClosedToRenames(st)) {
    refusal->why = Judged(OwnedByRootOrUs(st) ? FOLDER_SHARED : FOLDER_FOREIGN, st);
    return false;
  }
  refusal->folder = Join(parent, name);
  if (mkdirat(above.Get(), name.c_str(), 0700) == 0) {
    // Nobody else can rename it away in this parent: the mode goes to the folder just made.
    fchmodat(above.Get(), name.c_str(), 0700, 0);
  } else if (errno != EEXIST) {
    refusal->why = NotMade(errno);
    return false;
  }
  CFd own(openat(above.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (own.Get() < 0 || fstat(own.Get(), &st) != 0) {
    refusal->why = NotMade(errno);
    return false;
  }
  refusal->why = Classify(st, kPrivateBits);
  if (refusal->why.trust != FOLDER_PRIVATE) return false;
  if (faccessat(above.Get(), name.c_str(), W_OK | X_OK, 0) != 0) {
    refusal->why.trust = FOLDER_READ_ONLY;
    return false;
  }
  *folder = refusal->folder;
  return true;
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && home[0] == '/') return home;
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return std::string();
}

// Makes the missing levels of an absolute path, each 0700.
void MakeLevels(const std::string& path) {
  std::string level;
  for (const std::string& part : Components(path)) {
    level += "/" + part;
    if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

TFolderTrust CheckPrivateFolder(const std::string& path, unsigned closedBits) {
  struct stat st;
  TFolderTrust why;
  CFd folder(OpenJudged(path, &st, &why));
  if (folder.Get() < 0) return why;
  return Classify(st, closedBits);
}

BOOL CreatePrivateDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (path.empty() || path[0] != '/' || slash == std::string::npos || slash + 1 == path.size())
    return MakeDirectory(path, 0700);
  // Made through the folder above it as judged: no step of the path is looked up again.
  struct stat st;
  TFolderTrust why;
  CFd above(OpenJudged(slash == 0 ? "/" : path.substr(0, slash), &st, &why));
  if (above.Get() < 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(why.trust == FOLDER_MISSING ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const std::string name = path.substr(slash + 1);
  if (mkdirat(above.Get(), name.c_str(), 0700) != 0) {
    SetLastErrorFromErrno(true);
    return FALSE;
  }
  fchmodat(above.Get(), name.c_str(), 0700, 0);
  return TRUE;
}

std::string PrivateCacheFolder(TFolderRefusal* refusal) {
  const char* cache = getenv("XDG_CACHE_HOME");
  std::string base;
  if (cache && cache[0] == '/') {
    base = cache;
  } else {
    base = HomeFolder();
    if (base.empty()) {
      refusal->folder = "~/.cache";
      refusal->why = TFolderTrust();
      return std::string();
    }
    base += "/.cache";
  }
  MakeLevels(base);
  std::string resolved;
  if (!Resolved(base, &resolved)) {
    refusal->folder = base;
    refusal->why = NotMade(errno);
    return std::string();
  }
  std::string folder;
  return PrivateFolderBelow(resolved, "qel", &folder, refusal) ? folder : std::string();
}

TTempFolderChoice ChooseTempFolder() {
  TTempFolderChoice choice;
  std::string parent = "/tmp";
  std::string tmpdir;
  if (AbsoluteFolder(getenv("TMPDIR"), &tmpdir)) {
    // Only a folder no one else may write to is used as it is: in any other, another user could put a
    // folder of a product's name before ours and swap the installer in it.
    if (CheckPrivateFolder(tmpdir).trust == FOLDER_PRIVATE && access(tmpdir.c_str(), W_OK | X_OK) == 0) {
      choice.folder = tmpdir == "/" ? tmpdir : tmpdir + "/";
      return choice;
    }
    parent = tmpdir;
  } else {
    Resolved("/tmp", &parent);
  }
  TFolderRefusal refusal;
  std::string folder;
  if (PrivateFolderBelow(parent, "qel-" + std::to_string(geteuid()), &folder, &refusal)) {
    choice.folder = folder + "/";
    return choice;
  }
  choice.refused.push_back(refusal);
  folder = PrivateCacheFolder(&refusal);
  if (folder.empty()) {
    choice.refused.push_back(refusal);
    return choice;
  }
  choice.folder = folder + "/";
  return choice;
}

}  // namespace qelplat
