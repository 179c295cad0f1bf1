#pragma once
// A folder marked in use by the process that holds it, so that another process clearing away what a dead
// one left can tell a living folder from a dead one. The mark is a lock the kernel keeps on the open folder
// (on Windows: a handle to the folder opened without delete sharing) and drops when the holder ends, however
// it ends: a crash or a kill leaves nothing that looks alive, and no process id is kept that another PID
// namespace would read differently.
//
// Not thread-safe: one object belongs to one thread at a time.
#include <string>

#include "qelplat/wintypes.h"

namespace qelplat {

enum EFolderHold {
  HOLD_TAKEN = 0,    // the folder is held by this object
  HOLD_BUSY,         // another process holds it
  HOLD_UNSUPPORTED,  // its file system keeps no such marks (NFS without local locks): no process can hold it
  HOLD_FAILED,       // it cannot be opened (GetLastError tells why): gone, or not a folder
};

class CFolderHold {
 public:
  CFolderHold() = default;
  // Releases the hold.
  ~CFolderHold();
  CFolderHold(const CFolderHold&) = delete;
  CFolderHold& operator=(const CFolderHold&) = delete;

  // Opens the folder at path (never through a link) and marks it in use, without waiting; an earlier hold of
  // this object is released first. The mark is not inherited by programs the process starts.
  EFolderHold TryHold(const std::string& path);
  // Whether the held folder is still the one at path: a process that took it as dead between its making and
  // this hold has removed it (or put another in its place).
  bool HeldAt(const std::string& path) const;
  void Release();

 private:
  int m_fd = -1;
};

}  // namespace qelplat
