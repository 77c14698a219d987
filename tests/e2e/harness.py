"""Drives the real program on a virtual X display the way a user would, and looks at its pixels.

Python standard library only: X clients (xdotool, xwininfo, xwd) run as subprocesses, and libX11
is reached through ctypes for what they cannot do (listing mapped windows, a polite close).

Everything that differs between a native build and one running under Wine lives in a Profile, so
the same checks run against both: see LINUX, run_checks() and main().
"""

import ctypes
import ctypes.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

from geometry import apex, widest

TITLE = "Whirlet@Brackenholme"

# The menu as a user sees it, top to bottom: (label, submenu or None). Entries are chosen by
# position, so a swapped pair of entries shows up as a wrong colour.
MENU = [
    ("White", None),
    ("RGB Menu", [("Red", None), ("Blue", None), ("Green", None)]),
]

COLOURS = {
    "White": (255, 255, 255),
    "Red": (255, 0, 0),
    "Green": (0, 255, 0),
    "Blue": (0, 0, 255),
}


@dataclass
class Profile:
    """How the program's windows look and behave on one platform. Defaults: native Linux."""

    name: str = "linux"
    title: str = TITLE
    origin: Tuple[int, int] = (100, 100)  # where the program's X window lands
    size: Tuple[int, int] = (320, 320)
    menu_entry_height: int = 25
    menu_border: int = 2
    menu_override_redirect: bool = True  # native menus; Wine's are plain top-level windows
    menu_title: Optional[str] = None  # Wine: "freeglut menu"
    menu_button: int = 3
    choose_button: int = 1
    menu_open_timeout: float = 3.0
    menu_close_timeout: float = 3.0  # Wine waits for a window manager that never comes
    close_keys: Optional[str] = None  # None: WM_DELETE_WINDOW; Wine: "alt+F4"
    close_timeout: float = 5.0
    startup_timeout: float = 15.0
    change_timeout: float = 3.0  # how long a change may take to reach the screen
    ignore_window: Callable[["WinInfo"], bool] = lambda w: w.width <= 1 or w.height <= 1
    # Turns captured program output into what must be empty (e.g. drop a runtime's own noise).
    output_filter: Callable[[str], str] = lambda text: text


LINUX = Profile()


class CheckFailed(AssertionError):
    pass


def ensure(condition, message):
    if not condition:
        raise CheckFailed(message)


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns something truthy; returns that, or raises CheckFailed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise CheckFailed(f"timed out after {timeout:.1f}s waiting for {what}")
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# X server and libX11


class Xvfb:
    """A private virtual X server on a free display number, so runs never collide."""

    def __init__(self, screen="1280x1024x24"):
        self.screen = screen
        self.proc = None
        self.display = None
        self._x = None

    def start(self):
        """Starts the server on a free display number; -displayfd tells which, once ready."""
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed")
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            # Without -noreset the server resets whenever its last client leaves (a quick
            # xdotool call before the program connects) and refuses connections meanwhile.
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.screen,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd, "rb") as pipe:
            number = pipe.readline().strip()  # empty if the server gave up
        if not number or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode()
        return self

    @property
    def env(self):
        env = dict(os.environ, DISPLAY=self.display)
        env.pop("XAUTHORITY", None)  # our server has no cookie; a stale one would not match
        return env

    @property
    def x(self):
        if self._x is None:
            self._x = XConnection(self.display)
        return self._x

    def run(self, args, timeout=10, check=True):
        """Runs an X client against this display; returns its stdout as bytes."""
        done = subprocess.run(args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)
        if check and done.returncode != 0:
            raise CheckFailed(f"{' '.join(map(str, args))} failed: {done.stderr.decode().strip()}")
        return done.stdout

    def stop(self):
        if self._x is not None:
            self._x.close()
            self._x = None
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def __enter__(self):
        return self.start() if self.proc is None else self

    def __exit__(self, *exc):
        self.stop()


@dataclass
class WinInfo:
    wid: int
    name: Optional[str]
    x: int
    y: int
    width: int
    height: int
    mapped: bool
    override_redirect: bool


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong),
        ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
        ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long),
        ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p),
    ]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_ERROR_HANDLER_TYPE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
# Windows come and go under our feet (menus); Xlib's default handler would exit the process.
_ignore_x_errors = _ERROR_HANDLER_TYPE(lambda display, event: 0)
_libx11 = None


def _lib():
    global _libx11
    if _libx11 is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XDefaultRootWindow.restype = ctypes.c_ulong
        lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XQueryTree.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
            ctypes.POINTER(ctypes.c_uint)]
        lib.XGetWindowAttributes.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(_XWindowAttributes)]
        lib.XFetchName.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        lib.XFree.argtypes = [ctypes.c_void_p]
        lib.XSendEvent.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
            ctypes.POINTER(_XEvent)]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XSetErrorHandler(_ignore_x_errors)
        _libx11 = lib
    return _libx11


class XConnection:
    """A libX11 connection for what the command-line clients cannot do."""

    def __init__(self, display):
        self.lib = _lib()
        self.dpy = self.lib.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError(f"cannot open X display {display}")
        self.root = self.lib.XDefaultRootWindow(self.dpy)

    def close(self):
        if self.dpy:
            self.lib.XCloseDisplay(self.dpy)
            self.dpy = None

    def top_windows(self) -> List[WinInfo]:
        """The root window's children, bottom to top, with their state."""
        lib = self.lib
        lib.XSync(self.dpy, 0)
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not lib.XQueryTree(self.dpy, self.root, ctypes.byref(root), ctypes.byref(parent),
                              ctypes.byref(children), ctypes.byref(count)):
            return []
        wids = [children[i] for i in range(count.value)]
        if children:
            lib.XFree(children)
        result = []
        for wid in wids:
            attrs = _XWindowAttributes()
            if not lib.XGetWindowAttributes(self.dpy, wid, ctypes.byref(attrs)):
                continue  # gone meanwhile
            name_ptr = ctypes.c_char_p()
            name = None
            if lib.XFetchName(self.dpy, wid, ctypes.byref(name_ptr)) and name_ptr.value is not None:
                name = name_ptr.value.decode("utf-8", "replace")
                lib.XFree(name_ptr)
            result.append(WinInfo(wid, name, attrs.x, attrs.y, attrs.width, attrs.height,
                                  attrs.map_state == 2, bool(attrs.override_redirect)))
        return result

    def send_delete_window(self, wid):
        """What a window manager sends when the user closes a window."""
        lib = self.lib
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.send_event = 1
        event.xclient.display = self.dpy
        event.xclient.window = wid
        event.xclient.message_type = lib.XInternAtom(self.dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = lib.XInternAtom(self.dpy, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        ok = lib.XSendEvent(self.dpy, wid, 0, 0, ctypes.byref(event))
        lib.XSync(self.dpy, 0)
        ensure(ok, "XSendEvent(WM_DELETE_WINDOW) failed")


# ---------------------------------------------------------------------------------------------
# Pictures


@dataclass
class Lit:
    """What the lit (non-black) pixels of a picture look like."""

    count: int
    bbox: Optional[Tuple[int, int, int, int]]  # x0, y0, x1, y1 inclusive, y down
    mean: Tuple[int, int, int]
    strays: int  # lit pixels far from the mean colour: a flat triangle has none
    dim: int  # unlit pixels that are not pure black
    apex_x: Optional[float]  # middle of the topmost lit row

    @property
    def width(self):
        return 0 if self.bbox is None else self.bbox[2] - self.bbox[0] + 1

    @property
    def colour(self):
        """Colour name from COLOURS, or a description of the mean colour."""
        if not self.count:
            return "nothing lit"
        for name, rgb in COLOURS.items():
            if all(abs(a - b) <= 40 for a, b in zip(self.mean, rgb)):
                return name
        return "rgb%r" % (self.mean,)


class Image:
    """An RGB picture, rows top to bottom."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, bytes(rgb)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def __eq__(self, other):
        return isinstance(other, Image) and (self.width, self.height, self.rgb) == (
            other.width, other.height, other.rgb)

    def save_ppm(self, path):
        with open(path, "wb") as out:
            out.write(b"P6 %d %d 255\n" % (self.width, self.height))
            out.write(self.rgb)

    def lit(self, threshold=40) -> Lit:
        w = self.width
        count = dim = 0
        sums = [0, 0, 0]
        x0, y0, x1, y1 = w, self.height, -1, -1
        apex_x = None
        lit_rows = []
        for y in range(self.height):
            row = self.rgb[y * w * 3:(y + 1) * w * 3]
            top = max(row, default=0)
            if top == 0:
                continue
            levels = [max(row[3 * x:3 * x + 3]) for x in range(w)]
            xs = [x for x in range(w) if levels[x] > threshold]
            dim += sum(1 for level in levels if 0 < level <= threshold)
            if not xs:
                continue
            if apex_x is None:
                apex_x = (xs[0] + xs[-1]) / 2
            lit_rows.append((row, xs))
            count += len(xs)
            for x in xs:
                for c in range(3):
                    sums[c] += row[3 * x + c]
            x0, x1 = min(x0, xs[0]), max(x1, xs[-1])
            y0, y1 = min(y0, y), max(y1, y)
        if not count:
            return Lit(0, None, (0, 0, 0), 0, dim, None)
        mean = tuple(round(s / count) for s in sums)
        strays = sum(1 for row, xs in lit_rows for x in xs
                     if max(abs(row[3 * x + c] - mean[c]) for c in range(3)) > 40)
        return Lit(count, (x0, y0, x1, y1), mean, strays, dim, apex_x)


def parse_xwd(data: bytes) -> Image:
    """Decodes xwd's raw ZPixmap dump (TrueColor, 24 or 32 bits per pixel)."""
    fields = [int.from_bytes(data[i:i + 4], "big") for i in range(0, 100, 4)]
    (header_size, _version, pixmap_format, _depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class,
     red_mask, green_mask, blue_mask, _bits_per_rgb, _entries, ncolors) = fields[:20]
    ensure(pixmap_format == 2, f"xwd: unexpected pixmap format {pixmap_format}")
    ensure(bits_per_pixel in (24, 32), f"xwd: unsupported {bits_per_pixel} bits per pixel")
    start = header_size + 12 * ncolors
    pixels = data[start:start + bytes_per_line * height]
    ensure(len(pixels) == bytes_per_line * height, "xwd: short image")
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"

    def byte_index(mask):
        shift = (mask & -mask).bit_length() - 1
        ensure(mask >> shift == 0xFF and shift % 8 == 0, f"xwd: unsupported mask {mask:#x}")
        return shift // 8 if order == "little" else step - 1 - shift // 8

    offsets = [byte_index(m) for m in (red_mask, green_mask, blue_mask)]
    out = bytearray(width * height * 3)
    for y in range(height):
        row = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        base = y * width * 3
        for c, off in enumerate(offsets):
            out[base + c:base + width * 3:3] = row[off::step]
    return Image(width, height, out)


# ---------------------------------------------------------------------------------------------
# The program under test


class App:
    """One run of the program on an Xvfb, driven through X clients."""

    def __init__(self, xvfb: Xvfb, command: Sequence[str], profile: Profile = LINUX,
                 cwd=None, env=None):
        self.xvfb, self.profile, self.command = xvfb, profile, list(command)
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(self.command, cwd=cwd, env=env or xvfb.env,
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)
        self.wid = None
        self.returncode = None

    # -- lifetime

    def alive(self):
        return self.proc.poll() is None

    def wait_window(self):
        """Waits for the program's window and its first lit frame; returns the window id."""
        title = "^" + re.escape(self.profile.title) + "$"

        def find():
            ensure(self.alive(), f"program exited early with status {self.proc.returncode}; "
                   f"output: {self.output()}")
            found = self.xvfb.run(["xdotool", "search", "--onlyvisible", "--name", title],
                                  check=False).split()
            return int(found[0]) if found else None

        try:
            self.wid = wait_until(find, self.profile.startup_timeout, 0.1,
                                  f"a window titled {self.profile.title!r}")
        except CheckFailed as error:
            shown = sorted({w.name for w in self.xvfb.x.top_windows() if w.mapped and w.name})
            raise CheckFailed(f"{error}; windows shown: {shown}") from None
        wait_until(lambda: self.screenshot().lit().count, self.profile.startup_timeout, 0.1,
                   "a lit first frame")
        return self.wid

    def wait_exit(self, timeout):
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.returncode

    def close(self):
        """Asks the program to close, as a user does through the window manager."""
        if self.profile.close_keys:
            self.key(self.profile.close_keys)
        else:
            self.xvfb.x.send_delete_window(self.wid)

    def output(self):
        """(stdout, stderr) so far, as text."""
        texts = []
        for f in (self.out, self.err):
            f.seek(0)
            texts.append(f.read().decode("utf-8", "replace"))
        return tuple(texts)

    def kill(self):
        """Ends the program if it still runs; its output stays readable."""
        if self.alive():
            self.proc.kill()
        self.returncode = self.proc.wait()

    # -- looking

    def geometry(self):
        """(x, y, width, height) of the window on the screen, from xwininfo."""
        text = self.xvfb.run(["xwininfo", "-id", str(self.wid)]).decode()

        def field(label):
            match = re.search(r"^\s*" + re.escape(label) + r":\s*(-?\d+)", text, re.M)
            ensure(match, f"xwininfo shows no {label!r}")
            return int(match.group(1))

        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def screenshot(self) -> Image:
        return parse_xwd(self.xvfb.run(["xwd", "-silent", "-id", str(self.wid)]))

    def frames(self, count, interval=0.05):
        shots = []
        for i in range(count):
            if i:
                time.sleep(interval)
            shots.append(self.screenshot())
        return shots

    def current_colour(self, min_pixels=150):
        """The triangle's colour name, from the first frame that shows it clearly."""
        return wait_until(lambda: (lambda lit: lit.count >= min_pixels and lit.colour)(
            self.screenshot().lit()), self.profile.change_timeout, 0.05, "a clear triangle")

    def wait_colour(self, name, min_pixels=150):
        """Waits until the triangle shows clearly in the named colour; returns that Lit."""
        seen = []

        def shows():
            lit = self.screenshot().lit()
            seen.append(lit.colour)
            return lit if lit.count >= min_pixels and lit.colour == name else None

        try:
            return wait_until(shows, self.profile.change_timeout, 0.05, f"a {name} triangle")
        except CheckFailed:
            raise CheckFailed(f"expected a {name} triangle, saw {sorted(set(seen))}") from None

    def menus(self) -> List[WinInfo]:
        p = self.profile
        return [w for w in self.xvfb.x.top_windows()
                if w.mapped and w.wid != self.wid and not p.ignore_window(w)
                and (w.override_redirect or not p.menu_override_redirect)
                and (p.menu_title is None or w.name == p.menu_title)]

    # -- acting

    def pointer(self, x, y):
        """Moves the pointer to a screen position."""
        # Not --sync: it waits forever when the pointer is already there.
        self.xvfb.run(["xdotool", "mousemove", str(x), str(y)])
        wait_until(lambda: self.xvfb.run(["xdotool", "getmouselocation"]).split()[:2]
                   == [b"x:%d" % x, b"y:%d" % y], 2.0, 0.02, f"the pointer to reach {x},{y}")

    def click(self, button, at=None):
        """Clicks a button, at a window-relative position if given."""
        if at is not None:
            gx, gy, _, _ = self.geometry()
            self.pointer(gx + at[0], gy + at[1])
        self.xvfb.run(["xdotool", "click", str(button)])

    def key(self, *keys):
        """Presses keys (xdotool names) with the program's window focused."""
        self.xvfb.run(["xdotool", "windowfocus", str(self.wid)])
        self.xvfb.run(["xdotool", "key", "--delay", "20", *keys])

    def resize(self, width, height):
        self.xvfb.run(["xdotool", "windowsize", str(self.wid), str(width), str(height)])
        wait_until(lambda: self.geometry()[2:] == (width, height), self.profile.change_timeout,
                   0.05, f"the window to become {width}x{height}")

    def dismiss_menus(self):
        """Closes any open menu by clicking the window's far corner, away from the menus (the
        toolkit sees no clicks outside its own windows), so one failure does not spoil the
        checks after it."""
        if not self.menus():
            return
        _, _, width, height = self.geometry()
        self.click(self.profile.choose_button, (width - 3, height - 3))
        wait_until(lambda: not self.menus(), self.profile.menu_close_timeout, 0.05,
                   "the menus to close")

    def choose(self, path, at=(20, 20)):
        """Opens the pop-up menu at a window position and chooses the entry at path (labels
        from MENU, or positions), opening submenus on the way. Waits for the menus to close."""
        p = self.profile
        ensure(not self.menus(), "a menu is already open")
        self.click(p.menu_button, at)
        opened = wait_until(self.menus, p.menu_open_timeout, 0.05, "the menu to open")
        ensure(len(opened) == 1, f"expected one menu to open, got {len(opened)}")
        menu, layout = opened[0], MENU
        for depth, step in enumerate(path):
            labels = [label for label, _ in layout] if layout is not None else []
            index = step if isinstance(step, int) else labels.index(step)
            x = menu.x + menu.width // 2
            y = menu.y + p.menu_border + index * p.menu_entry_height + p.menu_entry_height // 2
            ensure(y < menu.y + menu.height, f"menu has no entry {index} ({step!r})")
            known = {w.wid for w in self.menus()}
            self.pointer(x, y)
            if depth == len(path) - 1:
                self.xvfb.run(["xdotool", "click", str(p.choose_button)])
                break
            opened = wait_until(lambda: [w for w in self.menus() if w.wid not in known],
                                p.menu_open_timeout, 0.05, f"submenu {step!r} to open")
            menu = opened[0]
            layout = layout[index][1] if layout is not None else None
        wait_until(lambda: not self.menus(), p.menu_close_timeout, 0.05, "the menu to close")


# ---------------------------------------------------------------------------------------------
# Checks: each takes a running App and raises CheckFailed with a readable reason.


def distinct(images):
    unique = []
    for image in images:
        if image not in unique:
            unique.append(image)
    return len(unique)


def check_window(app: App):
    """Place and size of the window, which App.wait_window found by its exact title."""
    p = app.profile
    geometry = app.geometry()
    ensure(geometry == (*p.origin, *p.size),
           f"window at {geometry}, expected {(*p.origin, *p.size)}")


def check_animation(app: App, colour="White"):
    """Successive frames differ, and each shows one flat lit shape on black."""
    shots = app.frames(4, 0.1)
    ensure(distinct(shots) >= 3, f"only {distinct(shots)} distinct pictures in 4 frames: not animated")
    for shot in shots:
        lit = shot.lit()
        ensure(lit.strays == 0 and lit.dim == 0,
               f"{lit.strays} lit pixels of another colour and {lit.dim} dim ones: "
               "not one flat colour on black")
    lit = app.wait_colour(colour)
    ensure(lit.count < 0.25 * app.profile.size[0] * app.profile.size[1],
           f"{lit.count} lit pixels: more than a small triangle")
    ensure(app.alive(), "program died")


def check_menu_colours(app: App):
    """Every menu entry, chosen by position, turns the triangle its colour; ends on Green."""
    for path in (["RGB Menu", "Red"], ["White"], ["RGB Menu", "Blue"], ["RGB Menu", "Green"]):
        app.choose(path)
        app.wait_colour(path[-1])
    ensure(app.alive(), "program died")


def check_inert_input(app: App):
    """Other buttons and the keyboard change nothing: same colour, no menu, still turning."""
    before = app.current_colour()
    w, h = app.profile.size
    for button in (1, 2):
        app.click(button, (w // 2, h // 2))
        time.sleep(0.2)
        ensure(not app.menus(), f"button {button} opened a menu")
    app.key("Escape", "q", "space", "Return", "a", "1", "F1", "Left", "ctrl+c")
    time.sleep(0.3)
    ensure(app.alive(), "program died from a click or key press")
    app.wait_colour(before)
    shots = app.frames(3, 0.1)
    ensure(distinct(shots) >= 2, "animation stopped")


def measure_size(app: App, width, height):
    """Frames at one window size agree with the camera: apex fixed, width scaled by height."""
    expected_apex = apex(width, height)
    widest_px = widest(width, height)
    widths = []
    deadline = time.monotonic() + max(10.0, 3 * app.profile.change_timeout)
    # The width depends on the angle: look until a frame comes near the widest it can be.
    while time.monotonic() < deadline:
        shot = app.screenshot()
        ensure((shot.width, shot.height) == (width, height),
               f"screenshot is {shot.width}x{shot.height}, window should be {width}x{height}")
        lit = shot.lit()
        ensure(lit.width <= widest_px + 3,
               f"at {width}x{height} the triangle is {lit.width} px wide, at most "
               f"{widest_px:.1f} expected")
        if lit.width < 0.5 * widest_px:
            continue  # nearly edge-on: a thin sliver may leave the corner's pixels unlit
        ensure(abs(lit.bbox[1] - expected_apex[1]) <= 2,
               f"at {width}x{height} the top corner is on row {lit.bbox[1]}, "
               f"expected {expected_apex[1]:.1f}")
        ensure(abs(lit.apex_x - expected_apex[0]) <= 3,
               f"at {width}x{height} the top corner is at x={lit.apex_x}, "
               f"expected {expected_apex[0]:.1f}")
        widths.append(lit.width)
        if lit.width >= 0.9 * widest_px and len(widths) >= 3:
            return
    raise CheckFailed(f"at {width}x{height} the triangle never got near {widest_px:.1f} px "
                      f"wide (widest seen {max(widths, default=0)})")


def check_resize(app: App):
    """Wide and tall windows keep the picture's proportions; back to the start size after."""
    w, h = app.profile.size
    measure_size(app, w, h)
    for size in ((2 * w, h), (w, 2 * h)):
        app.resize(*size)
        time.sleep(0.2)
        measure_size(app, *size)
    app.resize(w, h)
    ensure(app.alive(), "program died")


def check_close(app: App):
    """A polite close ends the program promptly with status 0."""
    started = time.monotonic()
    app.close()
    status = app.wait_exit(app.profile.close_timeout)
    ensure(status is not None, f"still running {app.profile.close_timeout}s after the close")
    ensure(status == 0, f"exit status {status} after the close")
    return f"exited in {time.monotonic() - started:.2f}s"


def check_quiet(app: App):
    """Nothing on stdout or stderr over the whole run (checked after exit)."""
    out, err = (app.profile.output_filter(text) for text in app.output())
    ensure(out == "" and err == "", f"program printed: stdout={out[:200]!r} stderr={err[:200]!r}")


check_quiet.after_exit = True  # reads what a finished run left


# ---------------------------------------------------------------------------------------------
# Running the checks


UNKNOWN_ARGS = ["--frobnicate", "extra", "words"]


def run_checks(command: Sequence[str], profile: Profile = LINUX, screen="1280x1024x24",
               artifacts=None, launch=None) -> Tuple[int, int]:
    """Runs every check on the program started by command, on a private Xvfb. Prints one line
    per check and 'N passed, N failed'. launch(xvfb, command, profile) -> App may replace the
    plain start (e.g. to set up a Wine prefix environment). Returns (passed, failed)."""
    launch = launch or (lambda xvfb, cmd, prof: App(xvfb, cmd, prof))
    results = []

    def record(name, func, app):
        started = time.monotonic()
        try:
            if not getattr(func, "after_exit", False):
                ensure(app.alive(), f"program is not running (exit status {app.proc.returncode})")
            note = func(app)
            results.append(True)
            print(f"PASS {name} ({time.monotonic() - started:.1f}s){': ' + note if note else ''}",
                  flush=True)
        except Exception as error:  # a broken check must not hide the others
            results.append(False)
            print(f"FAIL {name}: {type(error).__name__}: {error}", flush=True)
            if app is not None and app.wid is not None and app.alive():
                try:
                    app.dismiss_menus()
                except Exception as cleanup_error:
                    print(f"  (could not close the menus: {cleanup_error})", flush=True)
            if artifacts and app is not None and app.wid is not None and app.alive():
                try:
                    os.makedirs(artifacts, exist_ok=True)
                    app.screenshot().save_ppm(os.path.join(artifacts, f"{profile.name}-{name}.ppm"))
                except Exception:
                    pass

    sessions = [
        ("plain", list(command), [
            ("window", check_window), ("animation", check_animation),
            ("menu colours", check_menu_colours), ("other input inert", check_inert_input),
            ("resize", check_resize), ("polite close", check_close), ("quiet", check_quiet)]),
        ("unknown arguments", list(command) + UNKNOWN_ARGS, [
            ("window", check_window), ("animation", check_animation),
            ("polite close", check_close), ("quiet", check_quiet)]),
    ]
    with Xvfb(screen) as xvfb:  # one server for the run: a launcher may keep state tied to it
        for session, cmd, checks in sessions:
            app = None
            try:
                app = launch(xvfb, cmd, profile)
                app.wait_window()
            except Exception as error:
                print(f"FAIL {session}: start: {type(error).__name__}: {error}", flush=True)
                results.extend([False] * len(checks))
                if app is not None:
                    app.kill()
                continue
            try:
                for name, func in checks:
                    record(f"{session}: {name}", func, app)
            finally:
                app.kill()
    passed, failed = results.count(True), results.count(False)
    print(f"{passed} passed, {failed} failed", flush=True)
    return passed, failed


def main(profile: Profile = LINUX, argv=None, launch=None):
    """Entry point for a test script: argv[1:] is the command that starts the program."""
    argv = sys.argv if argv is None else argv
    if len(argv) < 2:
        print(f"usage: {argv[0]} PROGRAM [ARGS...]", file=sys.stderr)
        return 2
    artifacts = os.environ.get("WHIRLET_E2E_ARTIFACTS")
    _, failed = run_checks(argv[1:], profile, artifacts=artifacts, launch=launch)
    return 1 if failed else 0
