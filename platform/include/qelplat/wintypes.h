#pragma once
// The Windows type names and result numbers the system's code is written against.
// DWORD and LONG are 32-bit as on Windows; never unsigned long (64-bit on Linux).
#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef DWORD* LPDWORD;
typedef intptr_t LRESULT;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef unsigned int UINT;
typedef LONG HRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Result numbers the code branches on. They keep their Windows values.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_WRITE_PROTECT = 19,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_HANDLE_EOF = 38,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BUFFER_OVERFLOW = 111,
  ERROR_DISK_FULL = 112,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_MORE_DATA = 234,
  ERROR_NO_MORE_ITEMS = 259,
};
