// x11-close-window WINDOW_ID: asks an X window to close, as a window manager's close button does
// (WM_DELETE_WINDOW), for the end-to-end test on a display without a window manager.

#include <cstdio>
#include <cstdlib>

#include <X11/Xlib.h>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fputs("usage: x11-close-window WINDOW_ID\n", stderr);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("x11-close-window: cannot open the display\n", stderr);
        return 1;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XCloseDisplay(display);
    return sent != 0 ? 0 : 1;
}
