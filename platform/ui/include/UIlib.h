#pragma once
// The window layer of the client: skinned windows in namespace UiLib.
#include "UIlib/control.h"
#include "UIlib/dialogbuilder.h"
#include "UIlib/duistring.h"
#include "UIlib/markup.h"
#include "UIlib/notify.h"
#include "UIlib/paintmanager.h"
#include "UIlib/windowwnd.h"
#include "qelui/gdi.h"
#include "qelui/ole.h"
#include "qelui/user32.h"
