#pragma once
// Files and folders the Windows way: CreateFile with its dispositions, ReadFile/WriteFile, file pointers,
// sizes, attributes and times, folders and deletion. Paths are UTF-8 (narrow) or wide (UTF-32) text;
// "/" separates folders. Failures set the Windows error numbers the callers branch on.
#include <ctime>
#include <string>

#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

enum : DWORD {
  GENERIC_READ = 0x80000000u,
  GENERIC_WRITE = 0x40000000u,
  FILE_SHARE_READ = 0x1,
  FILE_SHARE_WRITE = 0x2,
  FILE_SHARE_DELETE = 0x4,
  CREATE_NEW = 1,
  CREATE_ALWAYS = 2,
  OPEN_EXISTING = 3,
  OPEN_ALWAYS = 4,
  TRUNCATE_EXISTING = 5,
  FILE_ATTRIBUTE_READONLY = 0x1,
  FILE_ATTRIBUTE_HIDDEN = 0x2,
  FILE_ATTRIBUTE_SYSTEM = 0x4,
  FILE_ATTRIBUTE_DIRECTORY = 0x10,
  FILE_ATTRIBUTE_ARCHIVE = 0x20,
  FILE_ATTRIBUTE_NORMAL = 0x80,
  FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000,
  FILE_FLAG_RANDOM_ACCESS = 0x10000000,
  INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu,
  INVALID_FILE_SIZE = 0xFFFFFFFFu,
  INVALID_SET_FILE_POINTER = 0xFFFFFFFFu,
  FILE_BEGIN = 0,
  FILE_CURRENT = 1,
  FILE_END = 2,
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};

// 100-nanosecond units since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SECURITY_ATTRIBUTES;  // accepted and ignored
struct OVERLAPPED;           // accepted and ignored: every call here is synchronous

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL FlushFileBuffers(HANDLE file);
// Creation time cannot be read back or set on Linux: GetFileTime reports the modification time for it, and
// SetFileTime ignores it.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);

// Attributes from the mode: DIRECTORY for folders, READONLY without an owner write bit, ARCHIVE for files.
DWORD GetFileAttributesA(LPCSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
// Only READONLY has a meaning here: it clears or restores the write bits.
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);

// One folder level. 183 when it exists, 3 when the parent is missing, 5 without the right, 19 on a
// read-only medium.
BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES* security);
BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security);
// Removes a file (never a folder: that is 5, as on Windows).
BOOL DeleteFileA(LPCSTR path);
BOOL DeleteFileW(LPCWSTR path);

namespace qelplat {

// The file descriptor behind a file handle, or -1.
int FileDescriptor(HANDLE file);

// CreateDirectoryA with its results and error numbers, the folder made with the given permission bits (the
// umask still applies).
BOOL MakeDirectory(const std::string& path, unsigned mode);

// FILETIME <-> Unix time.
FILETIME FileTimeFromUnix(const timespec& t);
timespec UnixFromFileTime(const FILETIME& ft);
int64_t FileTimeToInt64(const FILETIME& ft);
FILETIME FileTimeFromInt64(int64_t units);

}  // namespace qelplat
