// Closing a window as a window manager would, for the dialog tests (kept apart: Xlib's macros
// clash with GoogleTest's names).
#pragma once

// Sends the WM_DELETE_WINDOW client message to window on the display named by DISPLAY.
void CloseLikeWindowManager(unsigned long window);
