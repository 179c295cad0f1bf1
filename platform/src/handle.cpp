#include "qelplat/handle.h"

#include <mutex>
#include <unordered_map>

#include "qelplat/lasterror.h"

namespace qelplat {
namespace {

// Leaked on purpose: handles may still be closed by threads running while static objects are torn down.
struct HandleTable {
  std::mutex lock;
  std::unordered_map<HANDLE, std::unique_ptr<KernelObject>> objects;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object) {
  if (!object) return nullptr;
  HANDLE h = object.get();
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.objects.emplace(h, std::move(object));
  return h;
}

KernelObject* LookupHandle(HANDLE h) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.objects.find(h);
  return it == table.objects.end() ? nullptr : it->second.get();
}

void SetLastErrorInvalidHandle() { SetLastError(ERROR_INVALID_HANDLE); }

}  // namespace qelplat

BOOL CloseHandle(HANDLE h) {
  std::unique_ptr<qelplat::KernelObject> doomed;
  {
    qelplat::HandleTable& table = qelplat::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(h);
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    doomed = std::move(it->second);
    table.objects.erase(it);
  }
  // Destroyed outside the table lock: a destructor may wait (a thread) or close other handles.
  doomed.reset();
  return TRUE;
}
