#pragma once
// Console text attributes. A terminal gets ANSI colour sequences for the 16 Windows colours; output that is
// not a terminal has no console, so the attribute calls fail quietly and the text stays byte-exact.
#include <cstddef>

#include "qelplat/wintypes.h"

#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))

struct CONSOLE_SCREEN_BUFFER_INFO {
  WORD wAttributes;
};

HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes);

namespace qelplat {
// The escape sequence that selects a Windows attribute (bits: blue 1, green 2, red 4, bright 8; the same
// four bits shifted by 4 for the background).
const char* AnsiSequenceForAttribute(WORD attributes, char* buffer, size_t size);
}  // namespace qelplat
