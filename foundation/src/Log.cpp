#include "QelTools/Log.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <vector>

namespace QEL {
namespace {

const size_t kLogBufferSize = 409600;

// Process-wide and never destroyed: engine threads may still log while static objects are torn down.
// Log, SetWriter and GetWriter share one lock, so a writer is never replaced under a running Log.
std::recursive_mutex& LogMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

// Write, Add and RemoveAll of every multi-writer; always taken inside the Log lock, never the other way.
std::recursive_mutex& MultiWriterMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

char* OuterBuffer() {
  static char* buffer = new char[kLogBufferSize];
  return buffer;
}

thread_local int t_logDepth = 0;

struct DepthGuard {
  DepthGuard() { ++t_logDepth; }
  ~DepthGuard() { --t_logDepth; }
};

// A writer that logs from inside Write must not reformat the text the outer call is still delivering:
// nested calls get a buffer of their own.
int FormatAndWrite(CLogWriter* writer, ELogLevel level, const char* format, va_list args) {
  DepthGuard depth;
  std::vector<char> nested;
  char* buffer = OuterBuffer();
  if (t_logDepth > 1) {
    nested.resize(kLogBufferSize);
    buffer = nested.data();
  }
  vsnprintf(buffer, kLogBufferSize, format ? format : "", args);
  return writer->Write(level, buffer);
}

}  // namespace

CLogWriter::~CLogWriter() = default;

CMultiLogWriter::CMultiLogWriter() : m_writers(new std::list<std::unique_ptr<CLogWriter>>) {}

CMultiLogWriter::~CMultiLogWriter() { RemoveAll(); }

int CMultiLogWriter::Write(ELogLevel level, const char* text) {
  std::lock_guard<std::recursive_mutex> lock(MultiWriterMutex());
  for (const auto& writer : *m_writers) writer->Write(level, text);
  return -1;
}

void CMultiLogWriter::Add(CLogWriter* writer) {
  if (!writer) return;
  std::lock_guard<std::recursive_mutex> lock(MultiWriterMutex());
  m_writers->emplace_back(writer);
}

void CMultiLogWriter::RemoveAll() {
  std::list<std::unique_ptr<CLogWriter>> doomed;
  {
    std::lock_guard<std::recursive_mutex> lock(MultiWriterMutex());
    doomed.swap(*m_writers);
  }
}

CLog::CLog() {
  auto multi = std::make_shared<CMultiLogWriter>();
  multi->Add(new CLog4CxxWriter);
  m_writer = multi;
}

CLog::~CLog() = default;

CLog::CLog(const CLog& other) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  m_writer = other.m_writer;
}

CLog& CLog::operator=(const CLog& other) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  m_writer = other.m_writer;
  return *this;
}

int CLog::Log(ELogLevel level, const char* format, ...) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  if (!m_writer) return 0;
  va_list args;
  va_start(args, format);
  int result = -1;
  try {
    result = FormatAndWrite(m_writer.get(), level, format, args);
  } catch (const std::exception&) {
    result = -1;
  } catch (const std::exception*) {
    result = -1;
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

void CLog::SetWriter(CLogWriter* writer) {
  std::shared_ptr<CLogWriter> old;
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  old.swap(m_writer);
  m_writer.reset(writer);
}

std::shared_ptr<CLogWriter> CLog::GetWriter() {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  return m_writer;
}

std::string FormatLogTime(time_t seconds, int milliseconds) {
  struct tm local;
  localtime_r(&seconds, &local);
  char buffer[100];
  snprintf(buffer, sizeof(buffer), "%04d-%02d-%02d %02d:%02d:%02d.%d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
  return buffer;
}

std::string FormatLogTime() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return FormatLogTime(now.tv_sec, static_cast<int>(now.tv_nsec / 1000000));
}

}  // namespace QEL
