#pragma once
// The crash handler: turns an unhandled exception into a text block appended to "errlog.txt" in the
// current folder (code, address, flags and the call stack) and a full-memory dump named
// "v1.0-YYYYMMDD-hhmmss-<pid>-<tid>.dmp" in the crash folder below the program's folder.
//
// A product installs it as its unhandled-exception filter; nothing in this library does:
//
//   static QEL::CExceptHandle g_crash;
//   LONG CrashFilter(EXCEPTION_POINTERS* info) { return g_crash.CrashHandler(info); }
//   ...
//   g_crash.SetCrashDir(folder);            // the text must outlive the handler
//   SetUnhandledExceptionFilter(CrashFilter);
//
// Thread safety: crashes of several threads are handled one after the other, each with its own report
// and dump. Every step is best effort; a step that fails leaves its record out and the others go on.
// The dump is written first, with system calls alone: a crash inside the allocator (its lock held by the
// crashed thread, or the heap corrupt) still gets its dump, and a report block without frames. Both files
// are created readable by their owner alone.
#include <vector>

#include "qelplat/export.h"
#include "qelplat/seh.h"
#include "qelplat/wintypes.h"

namespace QEL {

// Each field is "N/A" until known, then 8 or more upper-case hexadecimal digits (an address has as many as
// a pointer needs: 16 in a 64-bit process).
struct TCrashInfo {
  char ErrorCode[32];
  char Address[32];
  char Flags[32];
};
static_assert(sizeof(TCrashInfo) == 96, "three 32-byte text fields");

// One stack frame; each field is "N/A" until the symbols supply it.
struct TCallStackInfo {
  char ModuleName[1024];
  char FunctionName[1024];
  char FileName[1024];
  char LineNumber[1024];
};
static_assert(sizeof(TCallStackInfo) == 4096, "four 1024-byte text fields");

class QEL_EXPORT CExceptHandle {
 public:
  CExceptHandle();
  ~CExceptHandle();

  // Keeps the pointer, not the text. The name is relative to the program's folder; null or empty puts the
  // dump into the program's folder itself.
  void SetCrashDir(char* folder);
  // Writes the report and the dump; always EXCEPTION_EXECUTE_HANDLER (1), so that the filter returning it
  // ends the process.
  LONG CrashHandler(EXCEPTION_POINTERS* info);

 private:
  TCrashInfo GetCrashInfo(const EXCEPTION_RECORD* record);
  std::vector<TCallStackInfo> GetCallStack(const CONTEXT* context);
  // Bounded copy: size 0 does nothing, a longer source is cut to size - 1 bytes; always terminated.
  void SafeStrCpy(char* destination, size_t size, const char* source);
  LONG WriteDump(const char* folder, EXCEPTION_POINTERS* info);
  void WriteReport(EXCEPTION_POINTERS* info);

  TCrashInfo m_crashInfo;
  std::vector<TCallStackInfo> m_callStack;
  char* m_crashDir;
};

}  // namespace QEL
