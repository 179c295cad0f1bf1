// Tavrin: the background update client. One copy per user session; starts the update engine and waits.
// Everything visible happens in the engine's callback.
#include <cstdio>
#include <string>

#include "QelTools/Log.h"
#include "UIlib.h"
#include "UpdateServiceCallback.h"
#include "qelplat/handle.h"
#include "qelplat/lasterror.h"
#include "qelplat/mutex.h"

namespace {

// A client that cannot run its engine must not idle: the watchdog would count it as running. It says why,
// on standard error and in the log, and the caller ends with a failure code.
int Fail(const std::string& text) {
  fprintf(stderr, "%s\n", text.c_str());
  QEL::CLog log;
  log.Log(QEL::ERROR, "%s", text.c_str());
  return 1;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  CoInitialize(nullptr);
  // Held for the life of the process; the system frees it when the process ends.
  HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, L"QEL_Tavrin");
  if (!instanceMutex) {
    int code = Fail("无法创建单实例锁QEL_Tavrin，程序退出：" + qelplat::LastMutexFailure());
    CoUninitialize();
    return code;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(instanceMutex);
    return -1;
  }
  if (!StartUpdateService(UpdateServiceCallback)) {
    int code = Fail("更新引擎启动失败，程序退出");
    CoUninitialize();
    return code;
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  CoUninitialize();
  return 0;
}

int main() { return wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<LPWSTR>(L""), 1); }
