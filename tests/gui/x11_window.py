#!/usr/bin/env python3
"""X11 helpers for the tests, the screenshot script and the start-up benchmark.

Talks to libX11 through ctypes, so nothing beyond the standard library and the
X client library (present wherever Xvfb and xdotool are) is needed.

Command line:
    x11_window.py close WINDOW_ID   ask a window to close, as a window manager's
                                    close button does (WM_DELETE_WINDOW), so the
                                    program ends through its own event loop
"""

import ctypes
import ctypes.util
import select
import sys
import time

MAP_NOTIFY = 19
CLIENT_MESSAGE = 33
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _MapEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("override_redirect", ctypes.c_int)]


class _Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", _ClientMessage), ("xmap", _MapEvent),
                ("pad", ctypes.c_long * 24)]


def _load_xlib():
    lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    lib.XOpenDisplay.restype = ctypes.c_void_p
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    lib.XDefaultRootWindow.restype = ctypes.c_ulong
    lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    lib.XInternAtom.restype = ctypes.c_ulong
    lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_Event)]
    lib.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    lib.XFlush.argtypes = [ctypes.c_void_p]
    lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.XPending.argtypes = [ctypes.c_void_p]
    lib.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Event)]
    lib.XConnectionNumber.argtypes = [ctypes.c_void_p]
    return lib


class Display:
    """One connection to the X server named by DISPLAY (or by name)."""

    def __init__(self, name=None):
        self._x = _load_xlib()
        self._display = self._x.XOpenDisplay(name.encode() if name else None)
        if not self._display:
            raise RuntimeError("cannot open X display %s" % (name or "from DISPLAY"))
        self._root = self._x.XDefaultRootWindow(self._display)

    def close(self):
        if self._display:
            self._x.XCloseDisplay(self._display)
            self._display = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def request_close(self, window):
        """Sends WM_DELETE_WINDOW, which Qt turns into a close event."""
        event = _Event()
        event.xclient.type = CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = self._x.XInternAtom(self._display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = self._x.XInternAtom(self._display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        self._x.XSendEvent(self._display, window, 0, 0, ctypes.byref(event))
        self._x.XSync(self._display, 0)

    def watch_top_level_maps(self):
        """From now on, remember every top-level window that gets mapped."""
        self._x.XSelectInput(self._display, self._root, SUBSTRUCTURE_NOTIFY_MASK)
        self._x.XSync(self._display, 0)

    def drop_pending_events(self):
        self._x.XSync(self._display, 0)
        event = _Event()
        while self._x.XPending(self._display):
            self._x.XNextEvent(self._display, ctypes.byref(event))

    def wait_for_top_level_map(self, timeout):
        """Returns (window, monotonic time) of the next top-level map, or None on time-out.

        Without a window manager every top-level window is a child of the root,
        so its map shows up as a MapNotify on the root.
        """
        deadline = time.monotonic() + timeout
        event = _Event()
        fd = self._x.XConnectionNumber(self._display)
        while True:
            while self._x.XPending(self._display):
                self._x.XNextEvent(self._display, ctypes.byref(event))
                if event.type == MAP_NOTIFY and not event.xmap.override_redirect:
                    return event.xmap.window, time.monotonic()
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([fd], [], [], left)


def main(argv):
    if len(argv) == 3 and argv[1] == "close":
        with Display() as display:
            display.request_close(int(argv[2], 0))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
