#include "EngineLog.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "qelplat/thread.h"

std::string EngineLogSuffix(const char* file, int line, const char* func) {
  char thread[16];
  snprintf(thread, sizeof thread, "%08x", static_cast<unsigned>(GetCurrentThreadId()));
  return std::string("-->file:") + file + ",line:" + std::to_string(line) + ",thread:0x" + thread +
         ",func:" + func;
}

void EngineLog(QEL::ELogLevel level, const std::string& text, const char* file, int line, const char* func) {
  EngineLogBare(level, text + EngineLogSuffix(file, line, func));
}

void EngineLogBare(QEL::ELogLevel level, const std::string& text) {
  // Texts carry registry values, URLs and server answers: never a format.
  g_Log.Log(level, "%s", text.c_str());
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int needed = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<size_t>(needed));
  }
  va_end(again);
  return text;
}
