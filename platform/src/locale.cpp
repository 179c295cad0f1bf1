#include "qelplat/locale.h"

#include <strings.h>

#include <clocale>
#include <initializer_list>

namespace qelplat {

const char* SetRuntimeLocale(int category, const char* windowsName) {
  if (!windowsName) return setlocale(category, nullptr);
  if (strcasecmp(windowsName, "chs") == 0 || strcasecmp(windowsName, "chinese") == 0) {
    for (const char* candidate : {"zh_CN.UTF-8", "zh_CN.utf8", "C.UTF-8"}) {
      if (const char* set = setlocale(category, candidate)) return set;
    }
    return nullptr;
  }
  return setlocale(category, windowsName);
}

}  // namespace qelplat
