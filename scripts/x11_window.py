#!/usr/bin/env python3
"""X11 helpers for scripts/screenshot, bench/startup and the tests, through libX11 and ctypes.

Command line:
    x11_window.py close WINDOW_ID   ask a window to close as a window manager's close button
                                    does (WM_DELETE_WINDOW), so the program ends through its
                                    own event loop
"""

import ctypes
import ctypes.util
import select
import sys
import time

MAP_NOTIFY, CLIENT_MESSAGE, SUBSTRUCTURE_NOTIFY_MASK = 19, 33, 1 << 19
_HEADER = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
           ("display", ctypes.c_void_p)]


class _ClientMessage(ctypes.Structure):
    _fields_ = _HEADER + [("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                          ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _MapEvent(ctypes.Structure):
    _fields_ = _HEADER + [("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                          ("override_redirect", ctypes.c_int)]


class _Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", _ClientMessage), ("xmap", _MapEvent),
                ("pad", ctypes.c_long * 24)]


class Display:
    """One connection to the X server named by DISPLAY (or by name)."""

    def __init__(self, name=None):
        self._x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        for function in ("XOpenDisplay", "XDefaultRootWindow", "XInternAtom"):
            getattr(self._x, function).restype = ctypes.c_void_p if function == "XOpenDisplay" else ctypes.c_ulong
        self._display = ctypes.c_void_p(self._x.XOpenDisplay(name.encode() if name else None))
        if not self._display.value:
            raise RuntimeError("cannot open X display %s" % (name or "from DISPLAY"))
        self._root = ctypes.c_ulong(self._x.XDefaultRootWindow(self._display))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._x.XCloseDisplay(self._display)

    def request_close(self, window):
        event = _Event()
        event.xclient.type, event.xclient.window, event.xclient.format = CLIENT_MESSAGE, window, 32
        event.xclient.message_type = self._x.XInternAtom(self._display, b"WM_PROTOCOLS", 0)
        event.xclient.data[0] = self._x.XInternAtom(self._display, b"WM_DELETE_WINDOW", 0)
        self._x.XSendEvent(self._display, ctypes.c_ulong(window), 0, ctypes.c_long(0), ctypes.byref(event))
        self._x.XSync(self._display, 0)

    def watch_top_level_maps(self):
        """From now on, remember every top-level window that gets mapped."""
        self._x.XSelectInput(self._display, self._root, ctypes.c_long(SUBSTRUCTURE_NOTIFY_MASK))
        self._x.XSync(self._display, 0)

    def drop_pending_events(self):
        self._x.XSync(self._display, 0)
        event = _Event()
        while self._x.XPending(self._display):
            self._x.XNextEvent(self._display, ctypes.byref(event))

    def wait_for_top_level_map(self, timeout):
        """(window, monotonic time) of the next top-level map, or None on time-out.
        Without a window manager a top-level map shows up as a MapNotify on the root."""
        deadline = time.monotonic() + timeout
        event = _Event()
        while True:
            while self._x.XPending(self._display):
                self._x.XNextEvent(self._display, ctypes.byref(event))
                if event.type == MAP_NOTIFY and not event.xmap.override_redirect:
                    return event.xmap.window, time.monotonic()
            if time.monotonic() >= deadline:
                return None
            select.select([self._x.XConnectionNumber(self._display)], [], [], deadline - time.monotonic())


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "close":
        sys.exit(__doc__)
    with Display() as display:
        display.request_close(int(sys.argv[2], 0))
