#include "qelplat/debugout.h"

#include <cstdio>

void OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  std::fprintf(stderr, "%s\n", text);
}
