// SPDX-License-Identifier: GPL-2.0-or-later
/* Asks OBS to close the way a user does, by its window: sends WM_DELETE_WINDOW to the top-level windows of
 * the given process whose title starts with "OBS". A signal would close OBS from inside its signal handler,
 * which can deadlock OBS on whatever the interrupted code held.
 * Usage: orvane_close_window PID   (DISPLAY names OBS's display). Exit 0 when a window was asked. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned long windowPid(Display *display, Window window, Atom pidAtom) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = NULL;
    unsigned long pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && count == 1)
        pid = *(unsigned long *)data;
    if (data)
        XFree(data);
    return pid;
}

/* A window can go between listing and asking (Qt WebEngine's come and go): that is no reason to fail. */
static int ignoreError(Display *display, XErrorEvent *error) {
    (void)display;
    (void)error;
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    const unsigned long pid = strtoul(argv[1], NULL, 10);
    Display *display = XOpenDisplay(NULL);
    if (!display)
        return 3;
    XSetErrorHandler(ignoreError);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

    Window root, parent, *children = NULL;
    unsigned int count = 0;
    int asked = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned int i = 0; i < count; ++i) {
        char *name = NULL;
        if (windowPid(display, children[i], pidAtom) != pid || !XFetchName(display, children[i], &name))
            continue;
        if (name && strncmp(name, "OBS", 3) == 0) {
            XEvent event;
            memset(&event, 0, sizeof event);
            event.xclient.type = ClientMessage;
            event.xclient.window = children[i];
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = (long)deleteWindow;
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, children[i], False, NoEventMask, &event);
            asked = 1;
        }
        XFree(name);
    }
    if (children)
        XFree(children);
    XCloseDisplay(display);
    return asked ? 0 : 1;
}
