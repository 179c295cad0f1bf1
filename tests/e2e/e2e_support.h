#pragma once
// Fixtures of the whole-system tests: the built programs copied into a folder of the test's own with a
// registry, temp and runtime folder beside them; the programs run inside a process namespace of their own,
// so that the watchdog and the client's self-update see no other test's Tavrin.exe and kill none; packages
// made as real zips; the processes and files a run leaves behind.
#include <sys/types.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace e2e {

// Polls the condition every 10 ms until it holds (true) or the bound passes (false): the conditions here
// read the log or walk /proc, too much work to repeat every millisecond.
template <typename Predicate>
bool WaitFor(Predicate condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  return qeltest::WaitUntil(condition, bound, std::chrono::milliseconds(10));
}

// Single-quoted for /bin/sh.
std::string ShellQuote(const std::string& text);

// Live processes (zombies excluded) whose program is the file at path, also when that file has been
// replaced or deleted since the process started.
std::vector<pid_t> ProcessesOf(const std::string& program);
// Live processes whose program lies below the folder.
std::vector<pid_t> ProcessesBelow(const std::string& folder);
// True when the process runs the very file now at path, not an older one of that name.
bool RunsCurrentFile(pid_t pid, const std::string& program);

struct TZipEntry {
  std::string name;  // stored as given, climbing and absolute names included
  std::string data;
  unsigned mode = 0644;  // Unix mode bits recorded with the entry
  // When set, the bytes of this file come first, then data; such an entry is stored, not deflated.
  std::string source = std::string();
};
// Writes a zip with Python's zipfile and returns its MD5 as 32 upper-case hexadecimal digits ("" on failure).
std::string MakeZip(const std::string& path, const std::vector<TZipEntry>& entries);
// MD5 of a file as 32 upper-case hexadecimal digits, by md5sum.
std::string Md5Of(const std::string& path);

// An installer: a shell script that runs `before`, then adds its working folder and each argument as "[arg]"
// to record, one a line; the record is replaced whole, so a reader never sees it half written.
std::string Installer(const std::string& record, const std::string& before = "");

// The update server's answer naming a full package.
std::string CheckAnswer(const std::string& code, const std::string& version, const std::string& setupUrl,
                        const std::string& md5);

struct TProduct {
  std::string code;
  std::string executeFile;
  std::string version = "1.0";
  int notifyType = 1;
};

// The system as installed in a folder of its own: bin/ (a copy of the build's programs, logging every level
// to bin/out.log), registry/, temp/ (TMPDIR: the products' work folders), cache/ (XDG_CACHE_HOME: the
// single-instance locks), products/ (stand-in products) and records/ (what installers wrote).
class CInstalledSystem {
 public:
  CInstalledSystem();
  std::string Bin() const { return dir.file("bin"); }
  std::string Client() const { return dir.file("bin/Tavrin.exe"); }
  std::string Daemon() const { return dir.file("bin/TavrinDaemon.exe"); }
  std::string RegistryFolder() const { return dir.file("registry"); }
  std::string Temp() const { return dir.file("temp"); }
  std::string Cache() const { return dir.file("cache"); }
  std::string WorkFolder(const std::string& code) const { return Temp() + "/" + code; }
  std::string Record(const std::string& name) const { return dir.file("records/" + name); }
  std::string ProgramOutput() const { return dir.file("programs.out"); }

  // A copy of sleep in products/, named name with the test's process id before ".exe"; started with a
  // number of seconds it is a running product.
  std::string MakeProduct(const std::string& name) const;
  // The current user's hive: the server's check URL, short intervals, one key per product.
  void WriteRegistry(const std::string& checkUrl, const std::vector<TProduct>& products) const;

  std::string Log() const;
  size_t LogCount(const std::string& text) const;
  // Polls the log until it holds the text count times.
  bool WaitForLog(const std::string& text, size_t count = 1,
                  std::chrono::milliseconds bound = std::chrono::seconds(60)) const;
  // Every file and folder below the root, as paths relative to it.
  std::set<std::string> Files() const;
  // What is below the root now and was not in `before`, leaving out what the system and the test make as
  // they run (the log, the program output, the locks, the installers' records, the sandbox script) and the
  // work folder of the product `code` with what it holds.
  std::set<std::string> MadeOutsideWorkFolder(const std::set<std::string>& before, const std::string& code) const;

  qeltest::TempDir dir{"e2e"};
};

// Shell commands run in the background inside a new PID namespace (with its own /proc) whose first process
// waits for ever; ending the sandbox ends every process in it. Without namespaces the commands run as
// children of a plain shell, in one process group. The environment points at the system's registry, temp
// and cache folders, and DISPLAY is the given one or unset. With privateTmp (a folder of the test's own,
// 1777 as /tmp is), the namespace's /tmp is that folder, so that fixed names there are the test's alone;
// the system's folder keeps its path in it.
class CSandbox {
 public:
  // True when a PID namespace can be made here.
  static bool Available();
  CSandbox(const CInstalledSystem& system, const std::vector<std::string>& commands, const std::string& display = "",
           const std::string& privateTmp = "");
  ~CSandbox();
  CSandbox(const CSandbox&) = delete;
  CSandbox& operator=(const CSandbox&) = delete;
  bool running() { return shell_.running(); }

 private:
  std::string root_;
  qeltest::ChildProcess shell_;
};

// The screen point at the centre of a control of the prompt, when the prompt stands at the bottom-right
// corner of a screen of the given size; laid out from the skin in the bin folder.
struct TPoint {
  int x = 0;
  int y = 0;
};
TPoint PromptControlCentre(const std::string& binFolder, const wchar_t* control, int screenW, int screenH);
// The prompt's size from the skin.
TPoint PromptSize(const std::string& binFolder);

}  // namespace e2e
