#include "EntryName.h"

#include <algorithm>

#include "qelplat/codepage.h"

namespace QelCompress {

namespace {

bool ApplyOneRule(std::wstring* name, ENameStyle style) {
  if (style == NAME_WINDOWS && name->size() >= 2 && (*name)[1] == L':') {
    name->erase(0, 2);
    return true;
  }
  if (!name->empty() && (*name)[0] == L'/') {
    name->erase(0, 1);
    return true;
  }
  std::wstring::size_type climb = name->find(L"/../");
  if (climb != std::wstring::npos) {
    name->erase(0, climb + 4);
    return true;
  }
  if (name->compare(0, 3, L"../") == 0) {
    name->erase(0, 3);
    return true;
  }
  return false;
}

}  // namespace

std::wstring SanitizeEntryName(const std::wstring& stored, ENameStyle style) {
  std::wstring name = stored;
  if (style == NAME_WINDOWS) std::replace(name.begin(), name.end(), L'\\', L'/');
  while (!name.empty() && ApplyOneRule(&name, style)) {
  }
  return name;
}

bool RelativePathOf(const std::wstring& name, std::string* relative) {
  std::wstring out;
  std::wstring::size_type start = 0;
  while (start <= name.size()) {
    std::wstring::size_type slash = name.find(L'/', start);
    if (slash == std::wstring::npos) slash = name.size();
    std::wstring part = name.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == L".") continue;
    if (part == L"..") return false;
    if (!out.empty()) out += L'/';
    out += part;
  }
  if (out.empty()) return false;
  *relative = qelplat::WideToPath(out);
  return true;
}

}  // namespace QelCompress
