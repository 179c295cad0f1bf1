#pragma once
// Where the system's log goes: a folder of the user's own, so the programs log wherever they are installed
// (a read-only install folder included).
#include <string>

namespace qelplat {

// The log folder: the folder that the environment variable named by variable holds when that is an
// absolute path, else ${XDG_STATE_HOME:-~/.local/state}/qel (a relative XDG_STATE_HOME is ignored, as the
// XDG rules ask). Made when missing, with every missing parent, mode 0700; the variable is set to it so a
// log configuration can name it as ${variable}. Empty, with the variable untouched, when the folder cannot
// be made or written.
std::string PrepareLogFolder(const char* variable);

}  // namespace qelplat
