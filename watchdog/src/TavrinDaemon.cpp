// TavrinDaemon: keeps the update client running. One copy per user; it starts the Tavrin.exe that lies
// beside it, and again within a second whenever none runs. It has no window; it writes only why it
// could not start.
#include <cstdio>
#include <string>

#include "QelTools/DaemonInfo.h"
#include "qelplat/lasterror.h"
#include "qelplat/mutex.h"
#include "qelplat/paths.h"

namespace {

const char kMutexName[] = "QEL_TavrinDaemon";
const char kClientFile[] = "Tavrin.exe";
const DWORD kPathBufferSize = 1024;

// The client's path beside our own; empty when our own path cannot be had whole.
std::string ClientPath() {
  char own[kPathBufferSize] = {};
  DWORD length = GetModuleFileNameA(nullptr, own, kPathBufferSize);
  // A full buffer means the path was cut: a cut folder would start some other program.
  if (length == 0 || length >= kPathBufferSize) return std::string();
  std::string path(own, length);
  size_t slash = path.rfind('/');
  path.resize(slash == std::string::npos ? 0 : slash + 1);
  return path + kClientFile;
}

}  // namespace

int main() {
  HANDLE instance = CreateMutexA(nullptr, FALSE, kMutexName);
  if (!instance) {
    // Without its lock a second watchdog could run beside this one: say why and end with a failure code.
    fprintf(stderr, "TavrinDaemon: %s\n", qelplat::LastMutexFailure().c_str());
    return 1;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(instance);
    return -1;
  }
  // The mutex stays ours for the life of the process.
  std::string client = ClientPath();
  if (client.empty()) return 0;
  StartDaemonService(client.c_str(), true, 1);
  return 0;
}
