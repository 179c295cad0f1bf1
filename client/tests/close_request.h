#pragma once
// Sends what a window manager's close box sends: the WM_DELETE_WINDOW protocol message. Kept apart from
// the tests because the X headers' macros clash with GoogleTest's.
#include <string>

bool SendCloseRequest(const std::string& display, unsigned long window);
