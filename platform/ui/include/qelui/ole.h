#pragma once
// COM start-up. Nothing in the system uses COM objects on Linux; the calls succeed and do nothing.
#include "qelui/uitypes.h"

HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
