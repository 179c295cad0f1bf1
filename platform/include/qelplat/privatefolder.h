#pragma once
// Folders that only this user may change: the temporary folder and the products' work folders, from which
// installers start. On a shared machine another user can make a folder before we do (a /tmp/<name> is
// anyone's to take), or rename one of ours away and put a link in its place when the folder above it lets
// them; a file in such a folder must never be run.
//
// A path is walked as the system's own lookup walks it, from "/", each level opened relative to the one
// above it, and every level is judged before the walk goes on from it, whether into a name below it, "."
// or "..": it must be a real folder (a link not followed is none), owned by root or this user, and let no
// one else rename what it holds (not writable by group or others, or sticky as /tmp is). So once judged, no
// step of the path can be redirected by anyone but this user or root; ".." goes back from a level so judged
// only, never from one another user could swap for a link to elsewhere. A symbolic link on the way is
// followed only when it is root's or this user's (in such a folder nobody else can replace it), and what it
// leads to is walked the same way from its start; the link of anyone else is never followed, and more links
// than the system follows (40) are a loop. So a path keeps the links the user put in it (a TMPDIR that is a
// link names the same folders from one start to the next) without any step being anyone else's to change.
#include <string>
#include <vector>

#include "qelplat/foldertrust.h"
#include "qelplat/wintypes.h"

namespace qelplat {

// What the absolute path names, judged with every level on the way to it, following only the links of root
// and this user.
// closedBits are the permission bits group and others must not have: 022 (no writing), or 077 for a folder
// nobody else may even read.
TFolderTrust CheckPrivateFolder(const std::string& path, unsigned closedBits = 022);

// CreateDirectoryA with its results and error numbers, the folder made closed to everyone but the user
// (0700) whatever the umask, so that it passes CheckPrivateFolder. An absolute path is made through the
// folder above it, opened as CheckPrivateFolder opens it; when that folder or one above it lets others
// rename in it, or a level cannot be searched, the error is ERROR_ACCESS_DENIED (5); only a level where
// nothing is there gives ERROR_PATH_NOT_FOUND (3).
BOOL CreatePrivateDirectory(const std::string& path);

// A folder passed over on the way to the temporary folder, and why.
struct TFolderRefusal {
  std::string folder;
  TFolderTrust why;
};

struct TTempFolderChoice {
  std::string folder;                   // with its trailing "/"; empty when no folder can be used
  std::vector<TFolderRefusal> refused;  // in the order they were tried
};

// The per-user temporary folder, in this order:
//  1. $TMPDIR as it is, when it is an absolute folder of the user's that group and others cannot write;
//  2. qel-<uid> below $TMPDIR (or below /tmp when TMPDIR names no absolute folder), when that folder lets
//     no one else rename what it holds (closed to others, or sticky, and owned by root or the user);
//  3. qel below ${XDG_CACHE_HOME:-$HOME/.cache}, the same way.
// qel-<uid> and qel are made 0700 and used only when they are real folders of the user's, closed to
// everyone else and writable. Paths come back as the environment gives them, links kept (see above). Steps
// 2 and 3 say what they refused; a TMPDIR that is not used as it is (the usual /tmp) is no refusal.
TTempFolderChoice ChooseTempFolder();

// The folder name inside parent, made 0700 when missing: its path when parent passes as a level of
// CheckPrivateFolder does and name is a real folder of the user's (never a link), writable, and without
// the closedBits (022 or 077) for group and others; empty with the reason otherwise.
std::string PrivateFolderIn(const std::string& parent, const std::string& name, unsigned closedBits,
                            TFolderRefusal* refusal);

// Step 3 alone: the user's private folder in the home, without its trailing "/"; empty with the reason.
std::string PrivateCacheFolder(TFolderRefusal* refusal);

}  // namespace qelplat
