#pragma once
// The registry, read-only, from one ".reg" text file per root (the format regedit exports):
//   HKEY_CURRENT_USER  = $QEL_REGISTRY_DIR/HKEY_CURRENT_USER.reg,
//                        default ${XDG_CONFIG_HOME:-~/.config}/qel/registry/HKEY_CURRENT_USER.reg
//   HKEY_LOCAL_MACHINE = $QEL_REGISTRY_DIR/HKEY_LOCAL_MACHINE.reg, default /etc/qel/registry/HKEY_LOCAL_MACHINE.reg
// A root's file is parsed once and kept; every open of a key checks the file (device, inode, size,
// modification and change times, and the content itself while those times are too recent to tell two
// edits apart) and parses it again only when it changed, so edits act at the next open. An open key is a
// snapshot of the file as it was when the key was opened.
// Key and value names compare case-insensitively; sub-keys enumerate sorted case-insensitively, as Windows
// lists them. Windows' limits hold while parsing: a key whose name is longer than 255 characters or whose
// path is deeper than 512 levels, and a value whose name is longer than 16,383 characters, are skipped
// with one warning naming the file and the line; so is every malformed line. The warnings are kept with the
// version of the file they belong to (at most 20 of them and then a count of the rest) and handed out by
// RegistryFileNotes: this layer writes them nowhere itself.
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards is a view of the machine's network
// interfaces (sub-keys "1", "2", ... with "ServiceName" and "Description").
#include <cstdint>
#include <string>
#include <vector>

#include "qelplat/wintypes.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

enum : DWORD {
  KEY_QUERY_VALUE = 0x0001,
  KEY_SET_VALUE = 0x0002,
  KEY_ENUMERATE_SUB_KEYS = 0x0008,
  KEY_READ = 0x20019,
  KEY_WRITE = 0x20006,
  KEY_ALL_ACCESS = 0xF003F,

  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

// ERROR_FILE_NOT_FOUND (2) for a missing file, key or value; ERROR_ACCESS_DENIED (5) when the root's file
// is not a plain file this user can read (or, for rights that include writing, write);
// ERROR_NOT_ENOUGH_MEMORY (8) for a file over 64 MiB.
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM rights, PHKEY result);
// name gets the index-th sub-key; *nameSize is the room in characters (NUL included) and becomes the length
// without the NUL. ERROR_NO_MORE_ITEMS (259) past the end, ERROR_MORE_DATA (234) when the name does not fit.
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                   LPDWORD classSize, void* lastWriteTime);
// Text values come with their NUL. data null: *dataSize gets the size needed. Too small: ERROR_MORE_DATA
// with the size needed in *dataSize and nothing written.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD dataSize);
LONG RegCloseKey(HKEY key);

namespace qelplat {
// The file that holds a root; empty for anything but the two roots.
std::string RegistryFileOf(HKEY root);

// What the last open of a key below a root found of the root's file.
struct TRegFileNotes {
  std::string file;  // empty until a key below the root was opened
  // ERROR_SUCCESS: read; ERROR_FILE_NOT_FOUND: missing; ERROR_ACCESS_DENIED: not a plain file this user may
  // read; ERROR_NOT_ENOUGH_MEMORY: too large.
  LONG status = ERROR_FILE_NOT_FOUND;
  // New whenever the file is read anew (it changed) or its status changes, never reused for another root;
  // 0 before the first open. Equal versions carry equal notes, so each needs reporting only once.
  uint64_t version = 0;
  std::vector<std::string> warnings;  // lines of this version that were skipped, "<file>:<line>: <why>, ..."
};
TRegFileNotes RegistryFileNotes(HKEY root);
}  // namespace qelplat
