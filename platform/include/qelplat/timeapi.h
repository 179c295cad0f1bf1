#pragma once
// Pauses and the millisecond tick. INFINITE means "for ever" wherever a wait takes milliseconds.
#include "qelplat/tickcount.h"
#include "qelplat/wintypes.h"

#define INFINITE 0xFFFFFFFFu

// Sleeps at least ms milliseconds; INFINITE never returns.
void Sleep(DWORD ms);
