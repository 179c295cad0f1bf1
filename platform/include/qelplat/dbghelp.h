#pragma once
// The debug-help services a crash report needs: a stack walk from the machine state of a fault, and for each
// address its function, source line and module; plus the full-memory dump, looked up at run time in the
// built-in "DbgHelp.dll" as "MiniDumpWriteDump" (see qelplat/dynlib.h).
//
// Linux stand-ins. The walk unwinds with the call-frame information of the loaded ELF files and reads the
// stack through the kernel, so a bad frame ends the walk instead of faulting. Names, files and lines come
// from the symbol tables and DWARF of the files (and of their separate debug files under /usr/lib/debug;
// nothing is fetched over the network). C++ names are shown demangled without their parameter list, as
// DbgHelp shows undecorated names. A module's name is its file name. Symbols can be served for the current
// process only.
//
// The dump is an ELF core file of the process, which gdb opens: the registers of every thread (the faulting
// one first), the signal, the process's mapped files and every readable mapping. It is written with calls
// that are safe inside a signal handler, while the other threads are held still.
//
// Thread safety: like DbgHelp, these functions are single-threaded; callers serialise them.
#include "qelplat/seh.h"
#include "qelplat/wintypes.h"

typedef DWORD64* PDWORD64;
typedef char CHAR;

enum : WORD {
  IMAGE_FILE_MACHINE_I386 = 0x014C,
  IMAGE_FILE_MACHINE_AMD64 = 0x8664,
};

// The pseudo handles of the calling process and thread.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();

enum ADDRESS_MODE { AddrMode1616, AddrMode1632, AddrModeReal, AddrModeFlat };

struct ADDRESS64 {
  DWORD64 Offset;
  WORD Segment;
  ADDRESS_MODE Mode;
};

// One frame of a walk. AddrPC is the frame's instruction address (the fault itself for the first frame,
// a return address for the others), AddrReturn the next frame's, AddrStack the frame's stack pointer and
// AddrFrame its frame address (the caller's stack pointer at the call). Reserved[0] is the walk's cursor:
// zero starts a new walk from the context.
struct STACKFRAME64 {
  ADDRESS64 AddrPC;
  ADDRESS64 AddrReturn;
  ADDRESS64 AddrFrame;
  ADDRESS64 AddrStack;
  ADDRESS64 AddrBStore;
  PVOID FuncTableEntry;
  DWORD64 Params[4];
  BOOL Far;
  BOOL Virtual;
  DWORD64 Reserved[3];
};

typedef BOOL (*PREAD_PROCESS_MEMORY_ROUTINE64)(HANDLE process, DWORD64 baseAddress, PVOID buffer, DWORD size,
                                               LPDWORD bytesRead);
typedef PVOID (*PFUNCTION_TABLE_ACCESS_ROUTINE64)(HANDLE process, DWORD64 addressBase);
typedef DWORD64 (*PGET_MODULE_BASE_ROUTINE64)(HANDLE process, DWORD64 address);
typedef DWORD64 (*PTRANSLATE_ADDRESS_ROUTINE64)(HANDLE process, HANDLE thread, ADDRESS64* address);

struct IMAGEHLP_SYMBOL64 {
  DWORD SizeOfStruct;
  DWORD64 Address;
  DWORD Size;
  DWORD Flags;
  // Characters Name can hold besides its NUL; a longer name is cut.
  DWORD MaxNameLength;
  CHAR Name[1];
};

struct IMAGEHLP_LINE64 {
  DWORD SizeOfStruct;
  PVOID Key;
  DWORD LineNumber;
  // Owned by the symbol handler: valid until SymCleanup.
  CHAR* FileName;
  DWORD64 Address;
};

enum SYM_TYPE { SymNone = 0, SymCoff, SymCv, SymPdb, SymExport, SymDeferred, SymSym, SymDia, SymVirtual };

struct IMAGEHLP_MODULE64 {
  DWORD SizeOfStruct;
  DWORD64 BaseOfImage;
  DWORD ImageSize;
  DWORD TimeDateStamp;
  DWORD CheckSum;
  DWORD NumSyms;
  SYM_TYPE SymType;
  CHAR ModuleName[32];
  CHAR ImageName[256];
  CHAR LoadedImageName[256];
};

// Loads the module list of the current process (searchPath and invadeProcess are accepted and unused: every
// loaded module is always known). FALSE with ERROR_INVALID_HANDLE for another process.
BOOL SymInitialize(HANDLE process, LPCSTR searchPath, BOOL invadeProcess);
BOOL SymCleanup(HANDLE process);

// The next frame of the walk from context (a CONTEXT*). The first call (Reserved[0] zero) unwinds the whole
// stack, up to kMaxStackFrames frames; each call then hands out one frame. FALSE after the last frame. The
// routines are accepted and unused: memory is read through the kernel, unwinding uses the ELF call-frame
// information.
BOOL StackWalk64(DWORD machineType, HANDLE process, HANDLE thread, STACKFRAME64* stackFrame, PVOID contextRecord,
                 PREAD_PROCESS_MEMORY_ROUTINE64 readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                 PGET_MODULE_BASE_ROUTINE64 getModuleBase, PTRANSLATE_ADDRESS_ROUTINE64 translateAddress);
// ELF files have no function tables of the Windows kind: always null.
PVOID SymFunctionTableAccess64(HANDLE process, DWORD64 addressBase);
// Start address of the module holding the address, 0 when none does.
DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address);

// For the instruction addresses of the last walk, return addresses are looked up one byte back, so that a
// caller's frame shows the line of its call.
BOOL SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement, IMAGEHLP_SYMBOL64* symbol);
BOOL SymGetLineFromAddr64(HANDLE process, DWORD64 address, LPDWORD displacement, IMAGEHLP_LINE64* line);
BOOL SymGetModuleInfo64(HANDLE process, DWORD64 address, IMAGEHLP_MODULE64* moduleInfo);

enum MINIDUMP_TYPE {
  MiniDumpNormal = 0x0,
  MiniDumpWithDataSegs = 0x1,
  MiniDumpWithFullMemory = 0x2,
};

struct MINIDUMP_EXCEPTION_INFORMATION {
  DWORD ThreadId;
  EXCEPTION_POINTERS* ExceptionPointers;
  BOOL ClientPointers;
};
struct MINIDUMP_USER_STREAM_INFORMATION;
struct MINIDUMP_CALLBACK_INFORMATION;

typedef BOOL (*MINIDUMPWRITEDUMP)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE dumpType,
                                  MINIDUMP_EXCEPTION_INFORMATION* exceptionParam,
                                  MINIDUMP_USER_STREAM_INFORMATION* userStreamParam,
                                  MINIDUMP_CALLBACK_INFORMATION* callbackParam);

namespace qelplat {

// Frames a walk goes down at most: a runaway recursion ends the report there.
const unsigned kMaxStackFrames = 1024;

// DbgHelp's MiniDumpWriteDump: writes the core file of the current process into the file (a handle from
// CreateFile). Every dump type gives the full memory. With exception information, the registers of its
// context lead (on the thread that is faulting); without, the calling thread's current ones. FALSE with
// ERROR_INVALID_PARAMETER for another process, ERROR_INVALID_HANDLE for a bad file, or the write's error.
BOOL WriteCoreDump(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE dumpType,
                   MINIDUMP_EXCEPTION_INFORMATION* exceptionParam, MINIDUMP_USER_STREAM_INFORMATION* userStreamParam,
                   MINIDUMP_CALLBACK_INFORMATION* callbackParam);

// Files for a crash filter, which may run while the thread that crashed holds the heap's lock, or with the
// heap corrupted: these make system calls into the caller's memory and touch neither the heap nor a lock.
// Files they create are readable and writable by their owner alone (a dump holds the process's memory).
// The handle is theirs (close it with CloseCrashFile, not CloseHandle); MiniDumpWriteDump writes into it.
// append false: a new file, or an existing one of the user's emptied, or, when what stands at the path is
// not a plain file of the user's, a new file beside it (the name with "-1" to "-9" before ".dmp"); true:
// added to, or created. A link at the path is never followed, and a file that is not a plain file of the
// user's with one name is never written to (appending to one then fails). What it opens is made 0600.
// INVALID_HANDLE_VALUE when the file cannot be opened.
HANDLE CreateCrashFile(const char* path, bool append);
BOOL WriteCrashFile(HANDLE file, const void* data, DWORD size);
void CloseCrashFile(HANDLE file);
// Creates the folder and every missing level above it; true when it is there.
bool CreateCrashFolder(const char* path);
// The running program's full path, as GetModuleFileNameA gives it; its length, 0 when it cannot be read
// or does not fit.
DWORD CrashProgramPath(char* buffer, DWORD size);

}  // namespace qelplat
