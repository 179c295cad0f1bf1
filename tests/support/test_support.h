#pragma once
// Fixtures shared by every test binary: temporary folders, environment overrides, free ports,
// child processes (real peers such as nginx), small file helpers.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// QEL_UNDER_ASAN is defined in a build under AddressSanitizer, whose allocator keeps freed memory on purpose:
// memory figures mean something only without it.
#if defined(__SANITIZE_ADDRESS__)
#define QEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_UNDER_ASAN 1
#endif
#endif

namespace qeltest {

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "qeltest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Sets (or with a null value unsets) an environment variable for the object's life.
class EnvGuard {
 public:
  EnvGuard(const std::string& name, const char* value);
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Polls the condition (every millisecond unless told otherwise) until it holds (true) or the bound passes
// (false). Waits in tests end in a clear failure after a generous bound instead of a ctest time-out.
template <typename Predicate>
bool WaitUntil(Predicate condition, std::chrono::milliseconds bound = std::chrono::seconds(30),
               std::chrono::milliseconds poll = std::chrono::milliseconds(1)) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

// A loopback TCP port that was free a moment ago.
unsigned short FreePort();

// True once something accepts connections on 127.0.0.1:port, false after the timeout.
bool WaitForPort(unsigned short port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A child process started from an argument vector; killed (SIGKILL) and reaped when the object dies.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts argv[0] (searched in PATH) with the given arguments. stdout/stderr go to logFile when given.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& logFile = "",
                        const std::string& workDir = "");
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Sends the signal and waits for the end; returns the wait status, -1 when not started.
  int Stop(int signal = 15);
  // Waits up to timeout for the end; returns the exit code (128+signal when killed), -1 on timeout.
  int Wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs fn in a child process and returns what fn returned ("child failed" when it could not run). With
// asOrdinaryUser the child first becomes the user nobody (65534) when the tests run as root, for the cases
// that depend on rights root does not need.
std::string InChild(const std::function<std::string()>& fn, bool asOrdinaryUser);
inline std::string AsOrdinaryUser(const std::function<std::string()>& fn) { return InChild(fn, true); }

// What the process writes to standard error while the object lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // Ends the capture and returns what was written.
  std::string Text();

 private:
  void Restore();
  TempDir dir_{"stderr"};
  std::string file_;
  int saved_ = -1;
};

// Runs a command to its end (sh -c); returns its exit code, output (stdout and stderr) in *output.
int RunCommand(const std::string& command, std::string* output = nullptr);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

// True when the program is found in PATH (or /usr/sbin, /sbin).
std::string FindProgram(const std::string& name);

}  // namespace qeltest

namespace qeltest {
// A log4cxx.properties in folder that writes every level to folder's "out.log" as "[LEVEL] message".
void WriteFileLogConfig(const std::string& folder);
}  // namespace qeltest
