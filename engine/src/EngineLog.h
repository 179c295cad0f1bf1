#pragma once
// The engine's log lines: the text, then where it was logged from
// ("-->file:<source>,line:<n>,thread:0x<8 hex>,func:<function>"), written as literal text.
#include <string>

#include "QelTools/Log.h"

// Built when the library loads and never destroyed: detached engine threads may log while the process exits.
extern QEL::CLog& g_Log;

std::string EngineLogSuffix(const char* file, int line, const char* func);
void EngineLog(QEL::ELogLevel level, const std::string& text, const char* file, int line, const char* func);
// A status line is logged bare, at INFO.
void EngineLogBare(QEL::ELogLevel level, const std::string& text);

// printf-style formatting into a string of any length; the format is always one of the engine's own.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define QEL_ENGINE_LOG(level, text, file, func) EngineLog(QEL::level, (text), (file), __LINE__, (func))
