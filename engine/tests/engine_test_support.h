#pragma once
// Fixtures of the engine tests: registry hives in a private folder, the engine's log captured in memory,
// and the host program run from a folder of its own.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "EngineLog.h"
#include "test_support.h"

namespace enginetest {

// A .reg hive text for a root from "[key]" blocks written below it.
std::string Hive(const std::string& body);
std::string ProductKey(const std::string& root, const std::string& sub, const std::string& values);
// The main key "SOFTWARE\Tavrin" of a root with the given value lines.
std::string Main(const std::string& root, const std::string& values);
// The value lines of a product that has everything it needs: its code, version 1.0 and /opt/<code>.
std::string Complete(const std::string& code);

// Points the registry and the temp folder of this process at private folders.
class CEngineEnv {
 public:
  CEngineEnv();
  void WriteUser(const std::string& body);
  void WriteMachine(const std::string& body);
  std::string TempFolder() const { return m_temp; }
  qeltest::TempDir dir;

 private:
  std::string m_temp;
  qeltest::EnvGuard m_registry;
  qeltest::EnvGuard m_tmpdir;
};

// Every line the engine logs, in order, while the object lives.
class CLogCapture {
 public:
  CLogCapture();
  ~CLogCapture();
  std::vector<std::string> Lines();
  std::string All();
  bool Contains(const std::string& text);
  // Waits (up to the limit) until a line holds the text.
  bool WaitFor(const std::string& text, int milliseconds = 10000);
  void Add(int level, const std::string& text);

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
};

// The host program copied into a folder of its own with a log configuration writing "out.log" there.
class CHost {
 public:
  CHost();
  // Runs the host with the arguments (already quoted) and environment assignments; returns its output.
  std::string Run(const std::string& args, const std::string& env = "", int* status = nullptr);
  std::string Log() const;
  qeltest::TempDir dir;
  std::string registry;
  std::string temp;
};

}  // namespace enginetest
