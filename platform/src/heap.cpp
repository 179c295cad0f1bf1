#include "qelplat/heap.h"

#include <malloc.h>

#include <mutex>

namespace qelplat {

void ReturnLargeBlocksToSystem() {
  static std::once_flag once;
  // Setting the bound at all also stops glibc from moving it; 128 KiB is its own starting value.
  std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, 128 * 1024); });
}

}  // namespace qelplat
