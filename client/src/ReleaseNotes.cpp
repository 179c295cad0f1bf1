#include "ReleaseNotes.h"

#include <cstring>

#include "qelplat/codepage.h"

namespace tavrin {

namespace {

std::wstring Convert(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, &out[0], needed);
  return out;
}

std::string Bounded(const char* field, size_t fieldSize) {
  if (!field) return std::string();
  return std::string(field, strnlen(field, fieldSize));
}

}  // namespace

std::wstring FieldText(const char* field, size_t fieldSize) { return Convert(Bounded(field, fieldSize)); }

std::vector<std::wstring> SplitReleaseNotes(const char* field, size_t fieldSize) {
  std::vector<std::wstring> lines;
  std::string text = Bounded(field, fieldSize);
  size_t start = 0;
  while (start <= text.size()) {
    size_t hash = text.find('#', start);
    size_t end = hash == std::string::npos ? text.size() : hash;
    if (end > start) lines.push_back(Convert(text.substr(start, end - start)));
    if (hash == std::string::npos) break;
    start = hash + 1;
  }
  return lines;
}

}  // namespace tavrin
