#pragma once
// Processes the Windows way, over /proc: a Toolhelp-style snapshot of every process with its executable's
// file name, opening a process for queries, and starting a program detached from the caller.
//
// The executable of a process is its /proc/<pid>/exe link (never comm, which the kernel cuts at 15 bytes),
// with the kernel's " (deleted)" mark dropped so a replaced program keeps its name. A process whose link
// cannot be read (another user's, a zombie) cannot be opened, as Windows refuses one without query rights.
#include <string>
#include <vector>

#include "qelplat/dynlib.h"
#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

enum : DWORD {
  TH32CS_SNAPPROCESS = 0x2,
  PROCESS_QUERY_INFORMATION = 0x0400,
  PROCESS_VM_READ = 0x0010,
  NORMAL_PRIORITY_CLASS = 0x20,
  ERROR_NO_MORE_FILES = 18,
};

struct PROCESSENTRY32 {
  DWORD dwSize;
  DWORD th32ProcessID;
  DWORD th32ParentProcessID;
  DWORD cntThreads;
  // The executable's file name; empty for a process whose executable cannot be read.
  char szExeFile[MAX_PATH];
};

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;  // no meaning here: the program inherits the caller's environment (DISPLAY)
  LPSTR lpTitle;
  DWORD dwFlags;
  WORD wShowWindow;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

struct SECURITY_ATTRIBUTES;

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry);
// FALSE with ERROR_NO_MORE_FILES (18) after the last process.
BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry);

// A handle for queries on a running process; null with 87 when it does not exist, 5 when its executable
// cannot be read.
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);

// Starts the program detached: its own session, none of the caller's descriptors beyond standard input,
// output and error (inheritHandles has no effect: nothing is ever inherited), the caller's environment, and
// currentDirectory or the caller's. commandLine, when given, is split by the Windows rules into the
// arguments (its first item becomes argv[0]); else argv is the application name alone. A program that
// cannot be run fails here, with its error number (2, 3, 5, 193 ...), before the call returns. The
// handles returned identify the process and need CloseHandle; nothing waits for the program.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, SECURITY_ATTRIBUTES* processAttributes,
                    SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);

DWORD GetCurrentProcessId();

// The ids of the running processes, ascending, as many as fit in cb bytes; *needed gets the bytes written.
// As on Windows, a full buffer does not say whether more exist: ask again with a larger one until the
// answer is smaller than the buffer.
BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* needed);

// The modules of an opened process. Only the first, its executable, is known here; *needed says one.
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, DWORD* needed);

// The file name and the full path of a process's executable (module null or the one EnumProcessModules
// gave), cut to size - 1 characters and terminated. The length copied; 0 with the error number when the
// process has gone or its executable cannot be read.
DWORD GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size);
DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size);

namespace qelplat {

// The executable of a process as described above; false when it cannot be read.
bool ProcessExecutable(DWORD processId, std::string* path);

// Ids of every process, ascending.
std::vector<DWORD> ProcessIds();

// Starts a program detached, as CreateProcessA does, with the whole argument vector (argv[0] included);
// false with the Windows error number when it could not be run. The program's id in *processId.
bool StartDetached(const std::string& program, const std::vector<std::string>& args, const char* directory,
                   DWORD* processId);

// A query handle on a process known to exist (for a program just started); close it with CloseHandle.
HANDLE ProcessHandle(DWORD processId);

// The path a process started from the file shows as its executable: absolute, with every symbolic link
// resolved, as /proc/<pid>/exe reads. The path as given when it cannot be resolved (no such file).
std::string RunningImagePath(const std::string& path);

// Whether the process runs a program that lies below the folder (links resolved): its executable does, or
// it is an interpreter running a script that does. A script is started as its interpreter with the
// script's path right after the interpreter and its one optional argument, and begins with "#!".
bool RunsProgramBelow(DWORD processId, const std::string& folder);

// What taskkill /IM does: signals every process whose executable's file name equals image, ASCII letters
// compared without case as Windows compares image names, SIGKILL when force, else SIGTERM. The calling
// process is never among them. Returns how many were signalled.
int KillProcessesByImage(const std::string& image, bool force);

// The arguments of a Windows command line (CommandLineToArgvW's rules: blanks separate, quotes group,
// backslashes escape only before a quote).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace qelplat
