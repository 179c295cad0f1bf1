#include "qelplat/privatefolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <vector>

#include "ownedfd.h"
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

// As many links as the system's own lookup follows in one path (MAXSYMLINKS): more are a loop.
const int kMaxLinks = 40;

// A link that no one but root or this user can have put or change where it is: the folder holding it was
// judged closed to renames, so only the link's owner (or root) may replace it.
bool TrustedLink(const struct stat& st) { return S_ISLNK(st.st_mode) && OwnedByRootOrUs(st); }

bool LinkTarget(int link, std::string* target) {
  char buffer[PATH_MAX];
  ssize_t n = readlinkat(link, "", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
  target->assign(buffer, static_cast<size_t>(n));
  return true;
}

// A level the walk stands in: opened (O_PATH) relative to the one above it, never through a link.
struct TLevel {
  std::string name;  // empty for "/"
  CFd fd;
  struct stat st;
};

// The walk of an absolute path, one named step per kind of level, each taken from a level judged first (in
// Judge, the one place every level is judged): a name below it (Down), "." (stays), ".." (Up, back to the
// level it was entered from, as the system's lookup goes to the real folder above). A link met by Down is
// followed (Follow) only when trusted; what it leads to is walked the same way from its own start.
class CJudgedWalk {
 public:
  explicit CJudgedWalk(const std::string& path) {
    std::vector<std::string> parts = Components(path);
    pending_.assign(parts.begin(), parts.end());
  }

  // The descriptor (O_PATH) of what the path names and its state, or -1 with why.
  int Open(struct stat* st, TFolderTrust* why) {
    if (!Start()) return Failed(why);
    while (!pending_.empty()) {
      const std::string name = pending_.front();
      pending_.pop_front();
      if (!Judge() || !Step(name)) return Failed(why);
    }
    *st = levels_.back().st;
    *why = TFolderTrust();
    return levels_.back().fd.Release();
  }

 private:
  bool Start() {
    TLevel root;
    root.fd.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.fd.Get() < 0 || fstat(root.fd.Get(), &root.st) != 0) return Missing();
    levels_.push_back(std::move(root));
    return true;
  }

  // Whether the walk may go on from the level it stands in: a real folder of root's or ours in which no one
  // else may rename. Any other level, a link left unfollowed included, could lead elsewhere by the time the
  // path is used.
  bool Judge() {
    const struct stat& st = levels_.back().st;
    if (!S_ISDIR(st.st_mode)) {
      why_ = Judged(FOLDER_NOT_A_FOLDER, st);
      why_.at = Here();
      return false;
    }
    if (!ClosedToRenames(st)) {
      why_ = OpenAbove(Here(), st);
      return false;
    }
    return true;
  }

  bool Step(const std::string& name) {
    if (name == ".") return true;
    if (name == "..") {
      Up();
      return true;
    }
    return Down(name);
  }

  // "/.." is "/", as for the system.
  void Up() {
    if (levels_.size() > 1) levels_.pop_back();
  }

  bool Down(const std::string& name) {
    TLevel next;
    next.name = name;
    next.fd.Reset(openat(levels_.back().fd.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd.Get() < 0 || fstat(next.fd.Get(), &next.st) != 0) return Missing();
    std::string target;
    // A link whose target cannot be read stays a level of its own, which no judgment passes.
    if (TrustedLink(next.st) && LinkTarget(next.fd.Get(), &target)) return Follow(name, target);
    levels_.push_back(std::move(next));
    return true;
  }

  bool Follow(const std::string& name, const std::string& target) {
    if (++links_ > kMaxLinks) {
      why_ = TFolderTrust();
      why_.trust = FOLDER_LINK_LOOP;
      why_.at = Join(Here(), name);
      return false;
    }
    std::vector<std::string> through = Components(target);
    pending_.insert(pending_.begin(), through.begin(), through.end());
    if (target[0] == '/') levels_.resize(1);
    return true;
  }

  bool Missing() {
    why_ = TFolderTrust();
    why_.error = Win32FromErrno(errno, true);
    return false;
  }

  int Failed(TFolderTrust* why) const {
    *why = why_;
    return -1;
  }

  // The level's path as walked, through the folders links lead to.
  std::string Here() const {
    std::string path;
    for (size_t i = 1; i < levels_.size(); ++i) path += "/" + levels_[i].name;
    return path.empty() ? "/" : path;
  }

  std::deque<std::string> pending_;
  std::vector<TLevel> levels_;  // from "/" to the level the walk stands in
  int links_ = 0;
  TFolderTrust why_;
};

int OpenJudged(const std::string& path, struct stat* st, TFolderTrust* why) {
  if (path.empty() || path[0] != '/') {
    *why = TFolderTrust();
    return -1;
  }
  return CJudgedWalk(path).Open(st, why);
}

TFolderTrust Classify(const struct stat& st, unsigned closedBits) {
  if (!S_ISDIR(st.st_mode)) return Judged(FOLDER_NOT_A_FOLDER, st);
  if (st.st_uid != geteuid()) return Judged(FOLDER_FOREIGN, st);
  if (st.st_mode & closedBits & 077) return Judged(FOLDER_SHARED, st);
  return Judged(FOLDER_PRIVATE, st);
}

// The path as given, without the slashes it may end with.
std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An absolute path as the environment gives it, when it leads to a folder; empty otherwise. Its links stay
// in the text, so names and logs show the folder the user named.
std::string GivenFolder(const char* path) {
  struct stat st;
  if (!path || path[0] != '/' || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
  return Trimmed(path);
}

// A folder of our own below parent, made 0700 when missing; true with its path when it is a real folder of
// ours, closed to group and others as closedBits say, and writable.
bool PrivateFolderBelow(const std::string& parent, const std::string& name, unsigned closedBits,
                        std::string* folder, TFolderRefusal* refusal) {
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
  refusal->why = Classify(st, closedBits);
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

// Why a path whose walk stopped short of its last level cannot be made: only where nothing is there is
// the path not found; a level that cannot be searched, or that fails its judgment, denies access.
DWORD WalkError(const TFolderTrust& why) {
  if (why.trust != FOLDER_MISSING) return ERROR_ACCESS_DENIED;
  return why.error ? why.error : ERROR_PATH_NOT_FOUND;
}

// A folder things may be made in: one the walk could go on from.
bool MayHoldOurs(const struct stat& st) { return S_ISDIR(st.st_mode) && ClosedToRenames(st); }

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
  if (above.Get() < 0) {
    SetLastError(WalkError(why));
    return FALSE;
  }
  // The folder it is made in is judged as the levels above it are: in one that others may rename in, they
  // could move ours away and put their own in its place.
  if (!MayHoldOurs(st)) {
    SetLastError(ERROR_ACCESS_DENIED);
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

namespace {

// Makes the missing levels of an absolute path, each 0700 and each through the folder above it as judged: a
// level that another user could redirect gets nothing of ours made below it.
void MakeLevels(const std::string& path) {
  std::string level;
  for (const std::string& part : Components(path)) {
    level += "/" + part;
    if (!CreatePrivateDirectory(level) && GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

}  // namespace

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
  base = Trimmed(base);
  MakeLevels(base);
  return PrivateFolderIn(base, "qel", kPrivateBits, refusal);
}

std::string PrivateFolderIn(const std::string& parent, const std::string& name, unsigned closedBits,
                            TFolderRefusal* refusal) {
  std::string folder;
  return PrivateFolderBelow(parent, name, closedBits, &folder, refusal) ? folder : std::string();
}

TTempFolderChoice ChooseTempFolder() {
  TTempFolderChoice choice;
  std::string parent = GivenFolder(getenv("TMPDIR"));
  if (parent.empty()) {
    parent = "/tmp";
  } else if (CheckPrivateFolder(parent).trust == FOLDER_PRIVATE && access(parent.c_str(), W_OK | X_OK) == 0) {
    // Only a folder no one else may write to is used as it is: in any other, another user could put a
    // folder of a product's name before ours and swap the installer in it.
    choice.folder = parent == "/" ? parent : parent + "/";
    return choice;
  }
  TFolderRefusal refusal;
  std::string folder = PrivateFolderIn(parent, "qel-" + std::to_string(geteuid()), kPrivateBits, &refusal);
  if (folder.empty()) {
    choice.refused.push_back(refusal);
    folder = PrivateCacheFolder(&refusal);
  }
  if (folder.empty()) {
    choice.refused.push_back(refusal);
    return choice;
  }
  choice.folder = folder + "/";
  return choice;
}

}  // namespace qelplat
