// Reads arbitrary bytes as rar headers: nothing may crash, read outside the bytes given, or hang; what the
// reading finds must hold together.
#include <cstdint>
#include <cstdlib>

#include "RarLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QelCompress::TRarLayout layout = QelCompress::ReadRarLayout(QelCompress::CArchiveMemory(data, size));
  // Every item stands on a header of several bytes.
  if (layout.items.size() > size / 4) abort();
  if (layout.encrypted_headers && layout.complete) abort();
  return 0;
}
