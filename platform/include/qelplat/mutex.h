#pragma once
// Named mutexes as the system uses them: to let one copy of a program run per user. The mutex is an
// exclusive flock on <folder>/<name>.lock. The folder is "qel" inside the user's runtime folder, found the
// same way from every start: $XDG_RUNTIME_DIR when it names a folder, else /run/user/<uid> when that folder
// is the user's (where a desktop session's XDG_RUNTIME_DIR points, so a start from a terminal or a job
// without the variable meets the desktop's lock). Without either, or when that "qel" folder is not a
// private folder of the user's, it is /tmp/qel-<uid>/ (made 0700 and checked to be ours), and when another
// user took that name first, ${XDG_CACHE_HOME:-~/.cache}/qel/ (see qelplat::PrivateCacheFolder). The kernel drops
// the lock when its holder dies, kill -9 included. The descriptor is close-on-exec, and programs started
// through CreateProcessA inherit none, so a started program never holds the lock of its starter.
#include <string>

#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

struct SECURITY_ATTRIBUTES;

// A handle either way; when another holder (another process, or another handle of this one) has the name,
// the handle holds nothing and the last error is ERROR_ALREADY_EXISTS (183). Null when the lock cannot be
// made: ERROR_ACCESS_DENIED (5) when the lock path is not a plain file of the user's (a folder, a symbolic
// link, another user's file: never followed nor changed) or no private folder can be had, else the error
// number of the failure; qelplat::LastMutexFailure says why. Only named mutexes exist here (null name: 87),
// and a name must not contain '/' nor be "." or "..". CloseHandle frees the name.
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCWSTR name);

namespace qelplat {
// The folder of the lock files, made when missing; empty with the error number when it cannot be used.
std::string NamedMutexFolder();
// Why the last CreateMutexA/W of this thread that returned null could not make its lock: the path and
// what is wrong with it.
std::string LastMutexFailure();
}  // namespace qelplat
