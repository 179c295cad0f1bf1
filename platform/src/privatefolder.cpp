#include "qelplat/privatefolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"

namespace qelplat {

TFolderTrust CheckPrivateFolder(const std::string& path, unsigned closedBits) {
  TFolderTrust result;
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return result;
  result.owner = static_cast<unsigned>(st.st_uid);
  result.mode = static_cast<unsigned>(st.st_mode & 07777);
  if (!S_ISDIR(st.st_mode)) {
    result.trust = FOLDER_NOT_A_FOLDER;
  } else if (st.st_uid != geteuid()) {
    result.trust = FOLDER_FOREIGN;
  } else if (st.st_mode & closedBits & 077) {
    result.trust = FOLDER_SHARED;
  } else {
    result.trust = FOLDER_PRIVATE;
  }
  return result;
}

BOOL CreatePrivateDirectory(const std::string& path) { return MakeDirectory(path, 0700); }

}  // namespace qelplat
