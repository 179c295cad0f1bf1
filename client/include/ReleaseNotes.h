#pragma once
// Text fields of the engine's records, read without trusting them to be terminated.
#include <cstddef>
#include <string>
#include <vector>

namespace tavrin {

// The field's text up to its NUL or its size, whichever comes first, converted from the system code page.
std::wstring FieldText(const char* field, size_t fieldSize);

// The release notes split at every "#": runs of "#" and empty pieces give no line. Works on a private
// copy bounded by the field size, so the engine's record is never written and never over-read.
std::vector<std::wstring> SplitReleaseNotes(const char* field, size_t fieldSize);

}  // namespace tavrin
