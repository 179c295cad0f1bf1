#include "qelplat/console.h"

#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "qelplat/lasterror.h"

namespace {

// The terminal cannot be asked for its colours; remember what was last set. 7 is the Windows default.
std::atomic<WORD> g_currentAttributes{7};

HANDLE StdoutHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(1)); }

bool IsConsole(HANDLE console) { return console == StdoutHandle() && isatty(1); }

int AnsiColour(WORD bits) {
  // Windows: blue 1, green 2, red 4. ANSI: red 1, green 2, blue 4.
  return ((bits & 4) ? 1 : 0) | ((bits & 2) ? 2 : 0) | ((bits & 1) ? 4 : 0);
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
  if (which == STD_OUTPUT_HANDLE) return StdoutHandle();
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
  if (!info || !IsConsole(console)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  info->wAttributes = g_currentAttributes.load();
  return TRUE;
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes) {
  if (!IsConsole(console)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  char seq[32];
  fputs(qelplat::AnsiSequenceForAttribute(attributes, seq, sizeof(seq)), stdout);
  g_currentAttributes = attributes;
  return TRUE;
}

namespace qelplat {

const char* AnsiSequenceForAttribute(WORD attributes, char* buffer, size_t size) {
  int fg = AnsiColour(attributes & 7) + ((attributes & 8) ? 90 : 30);
  WORD background = (attributes >> 4) & 0xF;
  if (background == 0) {
    snprintf(buffer, size, "\033[0;%dm", fg);
  } else {
    int bg = AnsiColour(background & 7) + ((background & 8) ? 100 : 40);
    snprintf(buffer, size, "\033[0;%d;%dm", fg, bg);
  }
  return buffer;
}

}  // namespace qelplat
