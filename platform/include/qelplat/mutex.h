#pragma once
// Named mutexes as the system uses them: to let one copy of a program run per user. The mutex is an
// exclusive flock on <folder>/<name>.lock. The folder is found the same way from every start, whatever
// another user does: "qel" inside the user's runtime folder, which is $XDG_RUNTIME_DIR when it names a
// folder of the user's that nobody else may change, else /run/user/<uid> when that folder is such (where a
// desktop session's XDG_RUNTIME_DIR points, so a start from a terminal or a job without the variable meets
// the desktop's lock); without a runtime folder, always ${XDG_CACHE_HOME:-~/.cache}/qel/ (see
// qelplat::PrivateCacheFolder), never a folder below /tmp, where another user could take the name first and
// give it back later. A folder so chosen that cannot be used makes the lock fail with its reason; the lock
// never moves to another folder. A lock file removed or replaced while a start opens it is locked again as the path
// names it then. The kernel drops the lock when its holder dies, kill -9 included. The descriptor is
// close-on-exec, and programs started through CreateProcessA inherit none, so a started program never
// holds the lock of its starter.
#include <string>

#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

struct SECURITY_ATTRIBUTES;

// A handle either way; when another holder (another process, or another handle of this one) has the name,
// the handle holds nothing and the last error is ERROR_ALREADY_EXISTS (183). Null when the lock cannot be
// made: ERROR_ACCESS_DENIED (5) when the lock path is not a plain file of the user's (a folder, a symbolic
// link, another user's file: never followed nor changed), keeps being replaced while it is locked, or no
// private folder can be had, else the error number of the failure; qelplat::LastMutexFailure says why.
// Only named mutexes exist here (null name: 87), and a name must not contain '/' nor be "." or "..".
// CloseHandle frees the name.
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCWSTR name);

namespace qelplat {
// The folder of the lock files, made when missing; empty with the error number when it cannot be used.
std::string NamedMutexFolder();
// Why the last CreateMutexA/W of this thread that returned null could not make its lock: the path and
// what is wrong with it.
std::string LastMutexFailure();
}  // namespace qelplat
