#pragma once
// Kernel handles. Every HANDLE the platform layer hands out points to a KernelObject it owns; CloseHandle
// destroys it. Handles are checked against the live set, so closing twice or closing garbage fails with
// ERROR_INVALID_HANDLE instead of freeing memory that is not ours.
#include <memory>

#include "qelplat/wintypes.h"

namespace qelplat {

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;
};

// Registers the object and returns its handle; the handle owns the object from now on.
HANDLE RegisterHandle(std::unique_ptr<KernelObject> object);

// The object behind a live handle, or null (then SetLastError(ERROR_INVALID_HANDLE)) when the handle is not
// live or is of another kind. The pointer stays valid until the handle is closed.
KernelObject* LookupHandle(HANDLE h);
void SetLastErrorInvalidHandle();

template <class T>
T* HandleObject(HANDLE h) {
  T* object = dynamic_cast<T*>(LookupHandle(h));
  if (!object) SetLastErrorInvalidHandle();
  return object;
}

}  // namespace qelplat

BOOL CloseHandle(HANDLE h);
