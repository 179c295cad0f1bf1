#include "QelTools/ExceptHandle.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "qelplat/dbghelp.h"
#include "qelplat/dynlib.h"
#include "qelplat/process.h"
#include "qelplat/thread.h"

namespace QEL {
namespace {

const char kNotAvailable[] = "N/A";
const char kReportFile[] = "errlog.txt";
const char kRule[] = "-----------------------------------------------------";
static_assert(sizeof(kRule) == 54, "53 dashes");
// The report's clock is a fixed UTC+8, whatever the machine's zone.
const time_t kReportUtcOffset = 8 * 3600;
const DWORD kSymbolNameLength = 1024;
// Paths on Linux are not held to Windows' 260 characters.
const size_t kPathSize = 4096;
const char kDumpVersion[] = "v1.0";

// One crash at a time: the symbol handler is single-threaded and the records live in the object. A second
// thread that crashes meanwhile waits here, then writes its own report and dump.
std::mutex& CrashLock() {
  static std::mutex lock;
  return lock;
}

struct LibraryFreer {
  void operator()(void* module) const { FreeLibrary(module); }
};

// Closes a crash file when the step that opened it ends.
class CCrashFile {
 public:
  CCrashFile(const char* path, bool append) : m_file(qelplat::CreateCrashFile(path, append)) {}
  ~CCrashFile() {
    if (IsOpen()) qelplat::CloseCrashFile(m_file);
  }
  CCrashFile(const CCrashFile&) = delete;
  CCrashFile& operator=(const CCrashFile&) = delete;
  bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_file; }

  // Formats into a buffer of its own (no heap) and appends.
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[4 * 1024 + 128];
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    if (length <= 0) return;
    const size_t size = static_cast<size_t>(length) < sizeof(line) ? static_cast<size_t>(length) : sizeof(line) - 1;
    qelplat::WriteCrashFile(m_file, line, static_cast<DWORD>(size));
  }

 private:
  HANDLE m_file;
};

// The folder of the running program, with its trailing separator; empty when it cannot be read.
void ProgramFolder(char* out, size_t size) {
  out[0] = '\0';
  if (qelplat::CrashProgramPath(out, static_cast<DWORD>(size)) == 0) {
    out[0] = '\0';
    return;
  }
  char* slash = strrchr(out, '/');
  if (slash) slash[1] = '\0';
}

}  // namespace

CExceptHandle::CExceptHandle() : m_crashInfo(), m_callStack(), m_crashDir(nullptr) {}

CExceptHandle::~CExceptHandle() {}

void CExceptHandle::SetCrashDir(char* folder) { m_crashDir = folder; }

LONG CExceptHandle::CrashHandler(EXCEPTION_POINTERS* info) {
  std::lock_guard<std::mutex> lock(CrashLock());
  // A stack overflow needs no switch of stacks here: the platform delivers every crash on the thread's
  // reserve stack (qelplat::InstallCrashStack), so the rest of the handler has room to run.
  m_crashInfo = GetCrashInfo(info ? info->ExceptionRecord : nullptr);
  // The dump first: it needs nothing but system calls, so it is written even when the crash came from
  // inside the allocator with its lock held, which the report's stack walk would wait for in vain.
  const LONG result = WriteDump(m_crashDir, info);
  WriteReport(info);
  return result;
}

void CExceptHandle::WriteReport(EXCEPTION_POINTERS* info) {
  // Without a heap the block is written all the same, with no frames.
  const bool heap = qelplat::HeapResponds();
  if (heap) m_callStack = GetCallStack(info ? info->ContextRecord : nullptr);

  const time_t shifted = time(nullptr) + kReportUtcOffset;
  struct tm clock = {};
  gmtime_r(&shifted, &clock);

  CCrashFile report(kReportFile, true);
  if (!report.IsOpen()) return;
  report.Print("%s\ntime:%d/%d/%d %d:%d:%d\nErrorCode: 0x%s\nAddress: 0x%s\nFlags: 0x%s\nCallStack: \n", kRule,
               clock.tm_year + 1900, clock.tm_mon + 1, clock.tm_mday, clock.tm_hour, clock.tm_min, clock.tm_sec,
               m_crashInfo.ErrorCode, m_crashInfo.Address, m_crashInfo.Flags);
  if (!heap) return;
  for (const TCallStackInfo& frame : m_callStack)
    report.Print("%s() : [%s] (File: %s @Line %s)\n", frame.FunctionName, frame.ModuleName, frame.FileName,
                 frame.LineNumber);
}

TCrashInfo CExceptHandle::GetCrashInfo(const EXCEPTION_RECORD* record) {
  TCrashInfo info;
  SafeStrCpy(info.ErrorCode, sizeof(info.ErrorCode), kNotAvailable);
  SafeStrCpy(info.Address, sizeof(info.Address), kNotAvailable);
  SafeStrCpy(info.Flags, sizeof(info.Flags), kNotAvailable);
  if (!record) return info;
  snprintf(info.ErrorCode, sizeof(info.ErrorCode), "%08X", record->ExceptionCode);
  snprintf(info.Address, sizeof(info.Address), "%0*llX", static_cast<int>(2 * sizeof(void*)),
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(record->ExceptionAddress)));
  snprintf(info.Flags, sizeof(info.Flags), "%08X", record->ExceptionFlags);
  return info;
}

std::vector<TCallStackInfo> CExceptHandle::GetCallStack(const CONTEXT* context) {
  std::vector<TCallStackInfo> frames;
  if (!context) return frames;
  HANDLE process = GetCurrentProcess();
  if (!SymInitialize(process, nullptr, TRUE)) return frames;

  CONTEXT walked = *context;
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = walked.Rip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = walked.Rbp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = walked.Rsp;
  frame.AddrStack.Mode = AddrModeFlat;

  // The symbol record with room for a name of kSymbolNameLength characters.
  std::vector<DWORD64> symbolSpace((sizeof(IMAGEHLP_SYMBOL64) + kSymbolNameLength) / sizeof(DWORD64) + 1);
  IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbolSpace.data());

  while (StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, GetCurrentThread(), &frame, &walked, nullptr,
                     SymFunctionTableAccess64, SymGetModuleBase64, nullptr) &&
         frame.AddrFrame.Offset != 0) {
    TCallStackInfo entry;
    SafeStrCpy(entry.ModuleName, sizeof(entry.ModuleName), kNotAvailable);
    SafeStrCpy(entry.FunctionName, sizeof(entry.FunctionName), kNotAvailable);
    SafeStrCpy(entry.FileName, sizeof(entry.FileName), kNotAvailable);
    SafeStrCpy(entry.LineNumber, sizeof(entry.LineNumber), kNotAvailable);

    const DWORD64 address = frame.AddrPC.Offset;
    memset(symbol, 0, sizeof(IMAGEHLP_SYMBOL64));
    symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol->MaxNameLength = kSymbolNameLength;
    DWORD64 symbolDisplacement = 0;
    if (SymGetSymFromAddr64(process, address, &symbolDisplacement, symbol))
      SafeStrCpy(entry.FunctionName, sizeof(entry.FunctionName), symbol->Name);

    IMAGEHLP_LINE64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddr64(process, address, &lineDisplacement, &line)) {
      SafeStrCpy(entry.FileName, sizeof(entry.FileName), line.FileName);
      snprintf(entry.LineNumber, sizeof(entry.LineNumber), "%d", static_cast<int>(line.LineNumber));
    }

    IMAGEHLP_MODULE64 module = {};
    module.SizeOfStruct = sizeof(module);
    if (SymGetModuleInfo64(process, address, &module))
      SafeStrCpy(entry.ModuleName, sizeof(entry.ModuleName), module.ModuleName);

    frames.push_back(entry);
  }
  SymCleanup(process);
  return frames;
}

void CExceptHandle::SafeStrCpy(char* destination, size_t size, const char* source) {
  if (size == 0 || !destination) return;
  if (!source) source = "";
  const size_t length = strnlen(source, size - 1);
  memcpy(destination, source, length);
  destination[length] = '\0';
}

LONG CExceptHandle::WriteDump(const char* folder, EXCEPTION_POINTERS* info) {
  if (!folder) folder = "";
  std::unique_ptr<void, LibraryFreer> dbghelp(LoadLibraryA("DbgHelp.dll"));
  if (!dbghelp) return EXCEPTION_EXECUTE_HANDLER;
  MINIDUMPWRITEDUMP writeDump = reinterpret_cast<MINIDUMPWRITEDUMP>(GetProcAddress(dbghelp.get(), "MiniDumpWriteDump"));
  if (!writeDump) return EXCEPTION_EXECUTE_HANDLER;

  const time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);

  char programFolder[kPathSize];
  ProgramFolder(programFolder, sizeof(programFolder));
  char dumpFolder[kPathSize];
  snprintf(dumpFolder, sizeof(dumpFolder), "%s%s", programFolder, folder);
  qelplat::CreateCrashFolder(dumpFolder);

  char dumpPath[kPathSize];
  snprintf(dumpPath, sizeof(dumpPath), "%s%s//%s-%04d%02d%02d-%02d%02d%02d-%ld-%ld.dmp", programFolder, folder,
           kDumpVersion, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
           local.tm_sec, static_cast<long>(GetCurrentProcessId()), static_cast<long>(GetCurrentThreadId()));

  CCrashFile file(dumpPath, false);
  if (!file.IsOpen()) return EXCEPTION_EXECUTE_HANDLER;
  MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), info, FALSE};
  writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpWithFullMemory,
            info ? &exception : nullptr, nullptr, nullptr);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace QEL
