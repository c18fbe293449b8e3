// Closing a window as a window manager would: a WM_DELETE_WINDOW client message.
#include "XWindowClose.h"

#include <X11/Xlib.h>

void CloseLikeWindowManager(unsigned long window) {
    // A connection of its own: the test's GTK connection belongs to the main thread.
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &ev);
    XFlush(display);
    XCloseDisplay(display);
}
