#pragma once
// The process watchdog: a thread that checks every few seconds whether a program runs and starts it when
// it does not. A program counts as running when any process's executable has the same file name,
// wherever it was started from (case-sensitive).
#include <memory>
#include <mutex>

#include "QelTools/Thread.h"
#include "qelplat/export.h"

namespace QEL {

class QEL_EXPORT CDaemonInfo : public Thread {
 public:
  // Size of the path buffer: a watched path has at most kPathSize - 1 bytes.
  static const unsigned kPathSize = 1024;

  CDaemonInfo();
  ~CDaemonInfo() override;

  // Watches the program at the path, checking once at the start and then every interval seconds (values
  // below 1 count as 1). Without wait: true when the watch thread started. With wait: blocks until the
  // watch is stopped; true when it ended, false when it could not start or the wait failed. A path that
  // is null, empty or too long for the buffer is refused (false), as is a start while the watch runs.
  bool StartDaemonService(const char* programPath, bool wait, int intervalSeconds);
  // Asks the watch to end and waits for it (the sleep in progress ends first); true. At once when idle.
  bool StopDaemonService();

 protected:
  int run() override;

 private:
  bool JudgeProcessIsRunning(const char* programPath);
  bool RunProcess(const char* programPath, const char* commandLine);

  std::unique_ptr<char[]> m_programPath;
  int m_interval = 1;
  // Serialises starts, so two callers never write the path buffer at once.
  std::mutex m_startLock;
};

}  // namespace QEL

// The same watch on a QelTools-wide watchdog. Nothing stops it: it lives as long as its process.
QEL_C_EXPORT bool StartDaemonService(const char* programPath, bool wait, int intervalSeconds);
