#include "qelplat/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>

#include "qelplat/lasterror.h"

extern char** environ;

namespace qelplat {
namespace {

const char kDeletedMark[] = " (deleted)";

struct ProcessEntry {
  DWORD id;
  std::string exeName;
};

struct SnapshotObject : KernelObject {
  std::vector<ProcessEntry> entries;
  size_t next = 0;
};

struct ProcessObject : KernelObject {
  DWORD id = 0;
};

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const DWORD kErrorInsufficientBuffer = 122;

// Every process has one module here, its executable; this is its handle.
HMODULE MainModule() {
  static char marker;
  return &marker;
}

// Copies text cut to size - 1 characters and terminated; the length copied.
DWORD CopyCut(const std::string& text, LPSTR out, DWORD size) {
  if (!out || size == 0) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  size_t n = std::min<size_t>(text.size(), size - 1);
  memcpy(out, text.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

// The executable of an opened process, for the module queries.
bool ModuleExecutable(HANDLE process, HMODULE module, std::string* path) {
  auto* object = HandleObject<ProcessObject>(process);
  if (!object) return false;
  if (module && module != MainModule()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!ProcessExecutable(object->id, path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool SameImageName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool FillEntry(SnapshotObject* snapshot, PROCESSENTRY32* entry) {
  if (!snapshot) return false;
  if (!entry) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (snapshot->next >= snapshot->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return false;
  }
  const ProcessEntry& source = snapshot->entries[snapshot->next++];
  DWORD size = entry->dwSize;
  memset(entry, 0, sizeof(*entry));
  entry->dwSize = size;
  entry->th32ProcessID = source.id;
  entry->cntThreads = 1;
  // A file name has at most 255 bytes on Linux, so it always fits; the bound only guards the field.
  size_t n = std::min(source.exeName.size(), sizeof(entry->szExeFile) - 1);
  memcpy(entry->szExeFile, source.exeName.data(), n);
  return true;
}

// Closes every descriptor above standard error but keep, so the program starts with none of ours (the
// single-instance lock above all). Closed at once, not at exec: a copy of another thread's write handle on
// a program just unpacked would keep that program from starting (ETXTBSY) for as long as this process
// holds it. close_range does it in one call per span; older kernels get the loop.
void CloseDescriptorsExcept(int keep) {
#ifdef SYS_close_range
  bool below = keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
  if (below && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 1 << 20) max = 1 << 20;
  for (int fd = 3; fd < max; ++fd)
    if (fd != keep) close(fd);
}

// A program that another process holds open for writing cannot start (ETXTBSY). When that holder is a
// copy of this process forked by another thread for a start of its own, it lets go within moments, at its
// exec or when it closes its descriptors: the exec is tried again a few times, each pause longer.
const int kBusyFirstPauseMs = 5;
const int kBusyLongestPauseMs = 200;
const int kBusyTotalMs = 3000;

void ExecWhenNotBusy(const char* path, char* const* argv) {
  int waited = 0;
  for (int pause = kBusyFirstPauseMs;; pause = pause * 2 > kBusyLongestPauseMs ? kBusyLongestPauseMs : pause * 2) {
    execve(path, argv, environ);
    if (errno != ETXTBSY || waited >= kBusyTotalMs) return;
    struct timespec delay = {0, static_cast<long>(pause) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
    waited += pause;
  }
}

// Records the spawn's helper processes send back through the pipe.
struct SpawnReport {
  int kind;  // kSpawned: value is the program's pid; kFailed: value is an errno
  int value;
};
const int kSpawned = 1;
const int kFailed = 2;

void Report(int fd, int kind, int value) {
  SpawnReport report{kind, value};
  ssize_t ignored = write(fd, &report, sizeof(report));
  (void)ignored;
}

// Runs in the forked child of a threaded process: only async-signal-safe calls from here on.
[[noreturn]] void RunDetached(int reportFd, const char* path, char* const* argv, const char* directory) {
  CloseDescriptorsExcept(reportFd);
  pid_t grandchild = fork();
  if (grandchild < 0) {
    Report(reportFd, kFailed, errno);
    _exit(1);
  }
  if (grandchild > 0) {
    // The middle process ends at once, so the program is adopted by init and never becomes our zombie.
    Report(reportFd, kSpawned, static_cast<int>(grandchild));
    _exit(0);
  }
  setsid();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);  // an ignored SIGPIPE must not be inherited
  if (directory && *directory && chdir(directory) != 0) {
    Report(reportFd, kFailed, errno);
    _exit(127);
  }
  ExecWhenNotBusy(path, argv);
  Report(reportFd, kFailed, errno);
  _exit(127);
}

// Starts the program and says whether exec succeeded; the program's pid in *pid.
bool SpawnDetached(const std::string& path, const std::vector<std::string>& args, const char* directory,
                   pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  pid_t child = fork();
  if (child < 0) {
    SetLastErrorFromErrno();
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (child == 0) {
    close(fds[0]);
    RunDetached(fds[1], path.c_str(), argv.data(), directory);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // Reads until every writer is gone: the middle process has ended, and the program has either exec'd
  // (its copy closed on exec) or reported why it could not.
  *pid = 0;
  int failure = 0;
  SpawnReport report;
  for (;;) {
    ssize_t n = read(fds[0], &report, sizeof(report));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof(report))) break;
    if (report.kind == kSpawned) *pid = report.value;
    if (report.kind == kFailed) failure = report.value;
  }
  close(fds[0]);
  if (failure != 0 || *pid == 0) {
    SetLastError(Win32FromErrno(failure ? failure : ECHILD));
    return false;
  }
  return true;
}

// Windows refuses a start that would fail at once with these numbers, before any process exists.
bool CheckRunnable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    int err = errno;
    // A missing program is 2; a missing folder on its way is 3.
    size_t slash = path.rfind('/');
    bool folderMissing = err == ENOTDIR ||
                         (err == ENOENT && slash != std::string::npos && slash > 0 &&
                          access(path.substr(0, slash).c_str(), F_OK) != 0);
    SetLastError(folderMissing ? ERROR_PATH_NOT_FOUND : Win32FromErrno(err));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// The arguments a process was started with; empty for one that has ended or cannot be read.
std::vector<std::string> CommandLineOf(const std::string& procFolder) {
  std::vector<std::string> args;
  std::ifstream in(procFolder + "/cmdline", std::ios::binary);
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

bool IsScript(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[2] = {};
  return in.read(head, sizeof head) && head[0] == '#' && head[1] == '!';
}

}  // namespace

bool ProcessExecutable(DWORD processId, std::string* path) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/%u/exe", static_cast<unsigned>(processId));
  char target[4096];
  ssize_t n = readlink(link, target, sizeof(target));
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof(target))) return false;
  std::string text(target, static_cast<size_t>(n));
  const size_t mark = sizeof(kDeletedMark) - 1;
  if (text.size() > mark && text.compare(text.size() - mark, mark, kDeletedMark) == 0)
    text.resize(text.size() - mark);
  if (path) *path = std::move(text);
  return true;
}

std::string RunningImagePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (path.empty() || !realpath(path.c_str(), resolved)) return path;
  return resolved;
}

bool RunsProgramBelow(DWORD processId, const std::string& folder) {
  std::string root = RunningImagePath(folder);
  if (root.empty()) return false;
  if (root.back() != '/') root += '/';
  auto below = [&root](const std::string& path) { return path.compare(0, root.size(), root) == 0; };
  std::string program;
  if (!ProcessExecutable(processId, &program)) return false;
  if (below(program)) return true;
  std::string proc = "/proc/" + std::to_string(processId);
  std::vector<std::string> args = CommandLineOf(proc);
  for (size_t i = 1; i < args.size() && i <= 2; ++i) {
    if (args[i].empty()) continue;
    // A relative script path is the process's own: resolved from its working folder.
    std::string script = RunningImagePath(args[i][0] == '/' ? args[i] : proc + "/cwd/" + args[i]);
    if (below(script) && IsScript(script)) return true;
  }
  return false;
}

std::vector<DWORD> ProcessIds() {
  std::vector<DWORD> ids;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
  if (!dir) return ids;
  while (dirent* item = readdir(dir.get())) {
    const char* name = item->d_name;
    if (*name < '1' || *name > '9') continue;
    char* end = nullptr;
    unsigned long id = strtoul(name, &end, 10);
    if (*end == '\0' && id <= 0xFFFFFFFFul) ids.push_back(static_cast<DWORD>(id));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args, const char* directory,
                   DWORD* processId) {
  if (!CheckRunnable(program)) return false;
  pid_t pid = 0;
  if (!SpawnDetached(program, args, directory, &pid)) return false;
  if (processId) *processId = static_cast<DWORD>(pid);
  return true;
}

HANDLE ProcessHandle(DWORD processId) {
  auto process = std::make_unique<ProcessObject>();
  process->id = processId;
  return RegisterHandle(std::move(process));
}

int KillProcessesByImage(const std::string& image, bool force) {
  const pid_t self = getpid();
  int signalled = 0;
  for (DWORD id : ProcessIds()) {
    if (static_cast<pid_t>(id) == self) continue;
    std::string path;
    if (!ProcessExecutable(id, &path) || !SameImageName(BaseName(path), image)) continue;
    if (kill(static_cast<pid_t>(id), force ? SIGKILL : SIGTERM) == 0) ++signalled;
  }
  return signalled;
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t slashes = 0;
      while (i < n && line[i] == '\\') ++slashes, ++i;
      if (i < n && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2) {
          arg += '"';
        } else if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes is a literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      arg.append(slashes, '\\');
      if (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg += line[i++];
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace qelplat

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if (!(flags & TH32CS_SNAPPROCESS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto snapshot = std::make_unique<qelplat::SnapshotObject>();
  for (DWORD id : qelplat::ProcessIds()) {
    std::string path;
    std::string name = qelplat::ProcessExecutable(id, &path) ? qelplat::BaseName(path) : std::string();
    snapshot->entries.push_back({id, std::move(name)});
  }
  return qelplat::RegisterHandle(std::move(snapshot));
}

BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry) {
  auto* object = qelplat::HandleObject<qelplat::SnapshotObject>(snapshot);
  if (!object) return FALSE;
  object->next = 0;
  return qelplat::FillEntry(object, entry) ? TRUE : FALSE;
}

BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) {
  auto* object = qelplat::HandleObject<qelplat::SnapshotObject>(snapshot);
  return qelplat::FillEntry(object, entry) ? TRUE : FALSE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  if (processId == 0 || (kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!qelplat::ProcessExecutable(processId, nullptr)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto object = std::make_unique<qelplat::ProcessObject>();
  object->id = processId;
  return qelplat::RegisterHandle(std::move(object));
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*,
                    BOOL, DWORD, LPVOID, LPCSTR currentDirectory, STARTUPINFOA*,
                    PROCESS_INFORMATION* processInformation) {
  std::vector<std::string> args;
  if (commandLine) args = qelplat::SplitCommandLine(commandLine);
  std::string program = applicationName ? applicationName : (args.empty() ? std::string() : args[0]);
  if (program.empty() || !processInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (args.empty()) args.push_back(program);
  DWORD pid = 0;
  if (!qelplat::StartDetached(program, args, currentDirectory, &pid)) return FALSE;
  processInformation->dwProcessId = pid;
  processInformation->dwThreadId = pid;  // the main thread's id is the process id
  processInformation->hProcess = qelplat::ProcessHandle(pid);
  processInformation->hThread = qelplat::ProcessHandle(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* needed) {
  if (!ids || !needed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<DWORD> all = qelplat::ProcessIds();
  if (all.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);  // /proc unreadable: no process list at all
    return FALSE;
  }
  size_t fit = std::min<size_t>(all.size(), cb / sizeof(DWORD));
  std::copy(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(fit), ids);
  *needed = static_cast<DWORD>(fit * sizeof(DWORD));
  return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, DWORD* needed) {
  if (!needed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!qelplat::ModuleExecutable(process, nullptr, nullptr)) return FALSE;
  if (modules && cb >= sizeof(HMODULE)) modules[0] = qelplat::MainModule();
  *needed = sizeof(HMODULE);
  return TRUE;
}

DWORD GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size) {
  std::string path;
  if (!qelplat::ModuleExecutable(process, module, &path)) return 0;
  return qelplat::CopyCut(qelplat::BaseName(path), name, size);
}

DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size) {
  std::string path;
  if (!qelplat::ModuleExecutable(process, module, &path)) return 0;
  return qelplat::CopyCut(path, name, size);
}
