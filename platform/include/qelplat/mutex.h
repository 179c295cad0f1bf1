#pragma once
// Named mutexes as the system uses them: to let one copy of a program run per user on each machine. The
// mutex is an exclusive flock on <folder>/<name>@<host name>.lock, and the folder is always the user's own
// ${XDG_CACHE_HOME:-~/.cache}/qel/ (see qelplat::PrivateCacheFolder), judged as the temporary folder is:
// never a runtime folder nor one below /tmp, where another user could make the folder first, or remove it
// and leave it to the user's next login to make, and so have two starts lock in different places. The host
// name lets a home that several machines share hold one lock per machine. A folder that cannot be used
// makes the lock fail with its reason; no other folder is taken instead. A lock file removed or replaced
// while a start opens it is locked again as the path names it then. The kernel drops the lock when its
// holder dies, kill -9 included. The descriptor is close-on-exec, and programs started through
// CreateProcessA inherit none, so a started program never holds the lock of its starter.
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
// The name of the lock file of a mutex in that folder: the mutex's name and this machine's host name as it
// is now ('/' in it written as '_').
std::string LockFileName(const std::string& name);
// Why the last CreateMutexA/W of this thread that returned null could not make its lock: the path and
// what is wrong with it.
std::string LastMutexFailure();
}  // namespace qelplat
