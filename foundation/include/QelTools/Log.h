#pragma once
// The process's logger: printf-style formatting into a fixed buffer, handed to pluggable writers
// (console, log4cxx, or a fan-out of several).
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "qelplat/export.h"

namespace QEL {

// A fixed 32-bit type: callers may pass values outside the table (they get the DEFAULT tag).
enum ELogLevel : int32_t {
  TRACE = 1,
  DEBUG = 2,
  INFO = 4,
  WARN = 8,
  ERROR = 16,
  FATAL = 18,
};

class QEL_EXPORT CLogWriter {
 public:
  CLogWriter() = default;
  CLogWriter(const CLogWriter&) {}
  CLogWriter& operator=(const CLogWriter&) { return *this; }
  // Virtual so that a writer destroyed through this base releases what it holds.
  virtual ~CLogWriter();
  // text: NUL-terminated narrow text. Every writer here returns -1.
  virtual int Write(ELogLevel level, const char* text) = 0;
};

// Fans one message out to every writer it owns, in the order they were added.
class QEL_EXPORT CMultiLogWriter : public CLogWriter {
 public:
  CMultiLogWriter();
  ~CMultiLogWriter() override;
  CMultiLogWriter(const CMultiLogWriter&) = delete;
  CMultiLogWriter& operator=(const CMultiLogWriter&) = delete;

  int Write(ELogLevel level, const char* text) override;
  // Takes ownership; null is ignored.
  void Add(CLogWriter* writer);
  void RemoveAll();

 private:
  std::unique_ptr<std::list<std::unique_ptr<CLogWriter>>> m_writers;
};

// Standard output: an empty line, then time stamp and level tag in the level's colour, then the message.
class QEL_EXPORT CConsoleLogWriter : public CLogWriter {
 public:
  int Write(ELogLevel level, const char* text) override;
};

// Forwards to log4cxx's root logger. Building one sets the runtime locale, makes the program's folder the
// current directory and configures log4cxx from "log4cxx.properties" there (watched for changes).
class QEL_EXPORT CLog4CxxWriter : public CLogWriter {
 public:
  CLog4CxxWriter();
  int Write(ELogLevel level, const char* text) override;
};

class QEL_EXPORT CLog {
 public:
  // A multi-writer holding one log4cxx writer.
  CLog();
  ~CLog();
  // Copies share the writer; it is destroyed once, with the last logger or handed-out pointer.
  CLog(const CLog& other);
  CLog& operator=(const CLog& other);

  // Returns what the writer returned (-1), 0 without a writer, -1 when the writer threw a std::exception.
  int Log(ELogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Adopts writer (null allowed: then nothing is written).
  void SetWriter(CLogWriter* writer);
  std::shared_ptr<CLogWriter> GetWriter();

 private:
  std::shared_ptr<CLogWriter> m_writer;
};

// The console time stamp, "%04d-%02d-%02d %02d:%02d:%02d.%d" in local time; milliseconds are not padded.
QEL_EXPORT std::string FormatLogTime();
QEL_EXPORT std::string FormatLogTime(time_t seconds, int milliseconds);

}  // namespace QEL
