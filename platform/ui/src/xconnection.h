#pragma once
// Internal: the X side of windows: each thread's connection, the X window behind a window record, its
// properties, and the X events that become messages.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "threadqueue.h"
#include "xwindow.h"

namespace qelui {

// A new connection to $DISPLAY, or null; the caller owns it.
Display* OpenDisplay();
// The thread's connection, opened on first use; null without a display.
Display* EnsureDisplay(ThreadQueue& q);
// Closes the thread's connection once its last window has gone.
void ReleaseDisplayIfUnused(ThreadQueue& q);

Atom Intern(Display* dpy, const char* name);
bool FindArgbVisual(Display* dpy, XVisualInfo* info);
// The desktop's _NET_WORKAREA when a window manager publishes one, else the whole screen.
bool WorkArea(Display* dpy, RECT* rect);

// Creates the X window for a record whose style, owner, title and rectangle are set.
bool CreateXWindow(WindowData& w);
void SetTitleProperties(WindowData& w);
void SetPositionHints(WindowData& w);
// Keeps an owned pop-up (the shadow) directly below its owner.
void Restack(WindowData& w);

// Turns one X event of the thread's connection into messages: sent at once (move, size, drag end) or
// queued as input for GetMessageW.
void TranslateXEvent(ThreadQueue& q, XEvent& ev);

}  // namespace qelui
