#include "qelui/ole.h"

HRESULT CoInitialize(LPVOID) { return 0; }
void CoUninitialize() {}
