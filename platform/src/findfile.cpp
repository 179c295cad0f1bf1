#include "qelplat/findfile.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "qelplat/handle.h"
#include "qelplat/lasterror.h"

namespace {

// The matching names are taken when the search starts, so deleting entries during the walk is safe.
class CFindObject : public qelplat::KernelObject {
 public:
  std::string folder;
  std::vector<std::string> names;
  size_t next = 0;
};

void Fill(const std::string& folder, const std::string& name, WIN32_FIND_DATAA* data) {
  memset(data, 0, sizeof *data);
  memcpy(data->cFileName, name.c_str(), name.size() + 1);
  struct stat st;
  if (lstat((folder + "/" + name).c_str(), &st) != 0) {
    data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    return;
  }
  data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  if (!pattern || !data || !*pattern) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string text = pattern;
  size_t slash = text.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : text.substr(0, slash));
  std::string mask = slash == std::string::npos ? text : text.substr(slash + 1);
  // As on Windows, a mask ending in ".*" also matches names without any dot: "*.*" is every name.
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) mask.erase(mask.size() - 2);
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : qelplat::Win32FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<CFindObject> find(new CFindObject);
  find->folder = folder;
  std::vector<std::string> rest;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() >= MAX_PATH || fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    (name == "." || name == ".." ? find->names : rest).push_back(name);
  }
  closedir(dir);
  find->names.insert(find->names.end(), rest.begin(), rest.end());
  if (find->names.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Fill(folder, find->names[0], data);
  find->next = 1;
  return qelplat::RegisterHandle(std::move(find));
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
  CFindObject* find = qelplat::HandleObject<CFindObject>(handle);
  if (!find) return FALSE;
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (find->next >= find->names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  Fill(find->folder, find->names[find->next++], data);
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  if (!qelplat::HandleObject<CFindObject>(handle)) return FALSE;
  return CloseHandle(handle);
}
