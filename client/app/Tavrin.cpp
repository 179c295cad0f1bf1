// Tavrin: the background update client. One copy per user session; starts the update engine and waits.
// Everything visible happens in the engine's callback.
#include "UIlib.h"
#include "UpdateServiceCallback.h"
#include "qelplat/handle.h"
#include "qelplat/lasterror.h"
#include "qelplat/mutex.h"

int wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  CoInitialize(nullptr);
  // Held for the life of the process; the system frees it when the process ends.
  HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, L"QEL_Tavrin");
  if (instanceMutex) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(instanceMutex);
      return -1;
    }
    StartUpdateService(UpdateServiceCallback);
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
