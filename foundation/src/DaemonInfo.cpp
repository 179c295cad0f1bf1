#include "QelTools/DaemonInfo.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "qelplat/process.h"

namespace QEL {
namespace {

// Closes a handle when the scope ends, on every path.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

}  // namespace

CDaemonInfo::CDaemonInfo() : m_programPath(new char[kPathSize]()) {}

CDaemonInfo::~CDaemonInfo() = default;

bool CDaemonInfo::StartDaemonService(const char* programPath, bool wait, int intervalSeconds) {
  // A path cut to fit could name another program, so a path that does not fit is refused.
  if (!programPath || !*programPath) return false;
  size_t length = strnlen(programPath, kPathSize);
  if (length >= kPathSize) return false;
  {
    std::lock_guard<std::mutex> guard(m_startLock);
    // A watch that is running keeps its path: the worker reads the buffer without a lock.
    if (isRunning()) return false;
    memcpy(m_programPath.get(), programPath, length + 1);
    // An interval of 0 or less would check without pause and start programs in a tight loop.
    m_interval = intervalSeconds < 1 ? 1 : intervalSeconds;
    if (!start()) return false;
  }
  if (!wait) return true;
  return join(-1);
}

bool CDaemonInfo::StopDaemonService() {
  requestStop(true);
  return true;
}

int CDaemonInfo::run() {
  if (!JudgeProcessIsRunning(m_programPath.get())) RunProcess(m_programPath.get(), nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(m_interval));
  return 0;
}

bool CDaemonInfo::JudgeProcessIsRunning(const char* programPath) {
  if (!programPath || !*programPath) return false;
  HandleCloser snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
  if (snapshot.handle == INVALID_HANDLE_VALUE || !snapshot.handle) return false;
  const char* slash = strrchr(programPath, '/');
  const char* name = slash ? slash + 1 : programPath;

  PROCESSENTRY32 entry;
  memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot.handle, &entry); more; more = Process32Next(snapshot.handle, &entry)) {
    HandleCloser process{OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID)};
    if (!process.handle) continue;
    if (strcmp(name, entry.szExeFile) == 0) return true;
  }
  return false;
}

bool CDaemonInfo::RunProcess(const char* programPath, const char* commandLine) {
  if (!programPath || !*programPath) return false;
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  char desktop[] = "winsta0\\default";
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION info;
  memset(&info, 0, sizeof(info));
  std::unique_ptr<char[]> command;
  if (commandLine) {
    command.reset(new char[strlen(commandLine) + 1]);
    strcpy(command.get(), commandLine);
  }
  if (!CreateProcessA(programPath, command.get(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &info))
    return false;
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return true;
}

}  // namespace QEL

bool StartDaemonService(const char* programPath, bool wait, int intervalSeconds) {
  // Built on first use and never destroyed: its thread may still run while the process exits.
  static QEL::CDaemonInfo* daemon = new QEL::CDaemonInfo;
  return daemon->StartDaemonService(programPath, wait, intervalSeconds);
}
