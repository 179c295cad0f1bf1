#pragma once
#include <string>

namespace QelCompress {

// Applies the stored-name rules: "\" is a separator too; drive prefixes, leading separators, anything up to a
// "/../" and leading "../" are dropped until none applies. The result is at most 519 characters.
std::wstring SanitizeEntryName(const std::wstring& stored);

// The name as a clean relative path ("a/b/c", no "", "." or ".." component), or false when nothing safe
// is left (the item must then not be written).
bool RelativePathOf(const std::wstring& name, std::string* relative);

}  // namespace QelCompress
