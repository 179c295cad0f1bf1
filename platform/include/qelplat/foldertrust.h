#pragma once
// What a folder was judged to be on the way to being trusted with the files an installer is started from
// (see qelplat/privatefolder.h), and the words that say it: in English for the programs' standard error,
// in Chinese for the engine's log, both from one table.
#include <string>

#include "qelplat/wintypes.h"

namespace qelplat {

enum EFolderTrust {
  FOLDER_PRIVATE = 0,   // a real folder of this user's that neither group nor others may write to
  FOLDER_MISSING,       // nothing there, or it cannot be examined (error says which)
  FOLDER_NOT_A_FOLDER,  // a symbolic link that is not followed, or a file of another kind
  FOLDER_LINK_LOOP,     // the way to it passes more links than the system's own lookup follows
  FOLDER_FOREIGN,       // owned by another user
  FOLDER_SHARED,        // writable by group or others
  FOLDER_OPEN_ABOVE,    // a folder above it (at) lets others rename what it holds, or is not root's or ours
  FOLDER_READ_ONLY,     // ours and closed to others, but nothing can be made in it
  FOLDER_NOT_MADE,      // it could not be made (error)
};

struct TFolderTrust {
  EFolderTrust trust = FOLDER_MISSING;
  unsigned owner = 0;  // user id of what is there (of the folder at fault, when at is given)
  unsigned mode = 0;   // its permission bits
  std::string at;      // a level on the way that is at fault (FOLDER_OPEN_ABOVE; FOLDER_NOT_A_FOLDER when the
                       // level that is no folder lies on the way, not at the end; FOLDER_LINK_LOOP: the link
                       // one too many)
  DWORD error = 0;     // FOLDER_NOT_MADE: the Windows error number; FOLDER_MISSING: why a level could not
                       // be opened (ERROR_PATH_NOT_FOUND only where nothing is there)
};

enum ETrustWords {
  TRUST_IN_ENGLISH,
  TRUST_IN_CHINESE,
};

// Why a folder so judged cannot be used, to follow its name; for FOLDER_PRIVATE, "is usable" in English and
// nothing in Chinese.
std::string DescribeFolderTrust(const TFolderTrust& why, ETrustWords words);

}  // namespace qelplat
