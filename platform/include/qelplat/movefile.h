#pragma once
// Renames that never lose what they meet, so that a series of them can be taken back step by step: MoveFileEx
// without flags, which never replaces anything, and an exchange of two names in one step, which Windows lacks
// (there a caller makes it of three moves through a name of its own, as it must here on a file system that
// cannot swap in one step).
//
// Both work on one file system only, and on files, links and folders alike; a link is moved, never followed.
#include <string>

#include "qelplat/wintypes.h"

// Moves existing to newName. Anything already at newName makes it fail with ERROR_ALREADY_EXISTS (183) and
// nothing moves. Flags are not taken: any makes it fail with ERROR_INVALID_PARAMETER (87). ERROR_DISK_FULL
// (112) when the folder of newName cannot grow.
BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);

namespace qelplat {

// What ExchangePaths fails with where the file system cannot swap two names in one step; nothing moved then.
constexpr DWORD ERROR_NOT_SUPPORTED = 50;

// What is at a goes to b and what was at b goes to a, in one step that no process ever sees half done. Both
// must exist (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND otherwise) and may be of different kinds. Swapping
// takes no room, so a full disk never stops it, and swapping again takes it back.
BOOL ExchangePaths(const std::string& a, const std::string& b);

}  // namespace qelplat
