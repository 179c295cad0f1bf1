#include "qelplat/logfolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home == '/') return home;
  struct passwd* pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

std::string StateHome() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state && *state == '/') return state;
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.local/state";
}

// Every missing folder of path, each 0700 as the XDG rules ask of folders made on the user's behalf.
bool MakeFolders(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) break;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

namespace qelplat {

std::string PrepareLogFolder(const char* variable) {
  if (!variable || !*variable) return std::string();
  const char* given = getenv(variable);
  std::string folder;
  if (given && *given == '/') {
    folder = given;
  } else {
    std::string state = StateHome();
    if (state.empty()) return std::string();
    folder = state + "/qel";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!MakeFolders(folder)) return std::string();
  // Only when it changes: the environment is shared with every thread of the process.
  if (!given || folder != given) setenv(variable, folder.c_str(), 1);
  return folder;
}

}  // namespace qelplat
