#pragma once
// Run-time look-ups of functions in system libraries. The Windows libraries the system looks into have no
// Linux file; they are built-in modules here that offer the functions with the nearest Linux behaviour.
// Any other name is loaded with dlopen. Built in: "ntdll.dll" (RtlAdjustPrivilege) and "DbgHelp.dll"
// (MiniDumpWriteDump, see qelplat/dbghelp.h); names compare case-insensitively, with or without ".dll".
#include "qelplat/wintypes.h"

typedef void* HMODULE;
typedef void (*FARPROC)();

HMODULE GetModuleHandleA(LPCSTR name);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// ntdll's privilege switch. Linux has no per-process privileges to enable; it reports success.
typedef LONG (*RtlAdjustPrivilegeFn)(uint32_t privilege, BOOL enable, BOOL currentThread, BOOL* wasEnabled);
