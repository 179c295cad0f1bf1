#pragma once
// Folders that only this user may change: the temporary folder and the products' work folders, from which
// installers start. On a shared machine another user can make a folder before we do (a /tmp/<name> is
// anyone's to take); a file in it that another user may replace must never be run.
#include <string>

#include "qelplat/wintypes.h"

namespace qelplat {

enum EFolderTrust {
  FOLDER_PRIVATE = 0,   // a real folder of this user's that neither group nor others may write to
  FOLDER_MISSING,       // nothing there, or it cannot be examined
  FOLDER_NOT_A_FOLDER,  // a symbolic link (never followed) or a file of another kind
  FOLDER_FOREIGN,       // owned by another user
  FOLDER_SHARED,        // writable by group or others
};

struct TFolderTrust {
  EFolderTrust trust = FOLDER_MISSING;
  unsigned owner = 0;  // user id of what is there
  unsigned mode = 0;   // its permission bits
};

// What the path names, judged without following a symbolic link at its end. closedBits are the permission
// bits group and others must not have: 022 (no writing), or 077 for a folder nobody else may even read.
TFolderTrust CheckPrivateFolder(const std::string& path, unsigned closedBits = 022);

// CreateDirectoryA with its results and error numbers, the folder made closed to everyone but the user
// (0700) whatever the umask, so that it passes CheckPrivateFolder.
BOOL CreatePrivateDirectory(const std::string& path);

}  // namespace qelplat
