#pragma once
#include <string>

namespace QelCompress {

// How a stored name reads. Archivers that declare the MS-DOS host (as most Windows tools do) may use "\" as a
// separator and carry a drive; under every other host, this library's own writer included, "/" is the only
// separator and "\" or ":" is an ordinary character of a file name, as Info-ZIP's unzip reads them.
enum ENameStyle { NAME_WINDOWS, NAME_PORTABLE };

// Applies the stored-name rules until none applies: Windows names turn "\" into "/" and lose a drive
// prefix; then a leading "/", anything up to a "/../" and a leading "../" are dropped. Nothing is cut.
std::wstring SanitizeEntryName(const std::wstring& stored, ENameStyle style);

// The name as a clean relative path of the file system ("a/b/c", no "", "." or ".." component), its bytes
// exactly those the name stands for, or false when nothing safe is left (the item must then not be written).
bool RelativePathOf(const std::wstring& name, std::string* relative);

}  // namespace QelCompress
