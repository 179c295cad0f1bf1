#pragma once
// The shell's services: folders made in one call, opening a file the way Explorer would (ShellExecuteExA),
// and the command interpreter that stands in for cmd.exe.
//
// The interpreter knows only the commands this system writes, in batch files and through the runtime's
// `system`: `taskkill [/F] /IM <image name>` and `start "<title>" "<program>" [arguments]`. Anything else is
// refused with a message on standard error and errorlevel 9009, as cmd.exe answers an unknown command. No
// line ever reaches /bin/sh.
#include <string>

#include "qelplat/dynlib.h"
#include "qelplat/fileio.h"
#include "qelplat/wintypes.h"

struct HWND__;
typedef HWND__* HWND;

// Creates the folder and every missing level above it. ERROR_SUCCESS, ERROR_ALREADY_EXISTS, or the
// Windows number of the first level that could not be made.
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* security);

enum : DWORD { SEE_MASK_NOCLOSEPROCESS = 0x40 };

struct SHELLEXECUTEINFOA {
  DWORD cbSize;
  DWORD fMask;
  HWND hwnd;
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;  // no meaning here: nothing this system starts has a window to hide
  HMODULE hInstApp;
  void* lpIDList;
  LPCSTR lpClass;
  void* hkeyClass;
  DWORD dwHotKey;
  HANDLE hIcon;
  HANDLE hProcess;
};

// Starts lpFile with the verb "open" (or none), detached, with lpParameters split by the Windows rules and
// lpDirectory (or the caller's folder) as its working folder; nothing waits for it. A ".bat" or ".cmd" file
// runs through the interpreter `qelcmd`, found beside the module holding this code, else beside the
// program, else in PATH. A file without its run bit that begins with "#!" runs through the interpreter its
// first line names. With SEE_MASK_NOCLOSEPROCESS, hProcess receives a handle to close. FALSE with the
// Windows error number (2, 3, 5, 193, 1155 for another verb) and hInstApp at or below 32 on failure.
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

namespace qelplat {

// cmd.exe's errorlevel for a command it does not know.
const int kUnknownCommand = 9009;

// Runs one command line; returns its errorlevel.
int RunCommandLine(const std::string& line);

// Runs a batch file line by line (CR LF or LF ends a line; "%%" stands for "%"; a lone "%" would be a
// variable, which is not supported, so such a line is refused). Returns the last errorlevel, 1 when the
// file cannot be read.
int RunBatchFile(const std::string& path);

// The runtime's `system`: the command line through the interpreter, waiting for it; its errorlevel.
int RunSystemCommand(const char* command);

}  // namespace qelplat
