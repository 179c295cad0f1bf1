#pragma once
// Named mutexes as the system uses them: to let one copy of a program run per user. The mutex is an
// exclusive flock on <folder>/<name>.lock, where the folder is $XDG_RUNTIME_DIR/qel/ (one per login, like
// a logon session) or else /tmp/qel-<uid>/ (made 0700 and checked to be ours). The kernel drops the lock
// when its holder dies, kill -9 included. The descriptor is close-on-exec, and programs started through
// CreateProcessA inherit none, so a started program never holds the lock of its starter.
#include <string>

#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

struct SECURITY_ATTRIBUTES;

// A handle either way; when another holder (another process, or another handle of this one) has the name,
// the handle holds nothing and the last error is ERROR_ALREADY_EXISTS (183). Null with the error number
// when the lock file cannot be made. Only named mutexes exist here (null name: 87), and a name must not
// contain '/' nor be "." or "..". CloseHandle frees the name.
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCWSTR name);

namespace qelplat {
// The folder of the lock files, made when missing; empty with the error number when it cannot be used.
std::string NamedMutexFolder();
}  // namespace qelplat
