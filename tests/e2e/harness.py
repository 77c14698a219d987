"""Drives the real program on an X display the way a user would, and looks at its pixels.

X through python-xlib (windows, the pointer and keys by XTEST, the polite close, frames counted by
DAMAGE), pictures through Pillow, the menu's labels through tesseract. What differs between the
native program and the Windows one under Wine lives in a Platform (see Native here and Wine in
test_windows.py).
"""

import json
import os
import select
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from dataclasses import dataclass
from io import BytesIO
from typing import Optional, Tuple

try:
    import pytest
    from PIL import Image, ImageChops, ImageOps
    from Xlib import X, XK, display, error
    from Xlib.ext import damage, xtest
    from Xlib.protocol import display as protocol, event
except ImportError:
    # Debian's python3-* packages serve Debian's interpreter; an earlier python3 on PATH (pyenv, a
    # virtualenv) sees none of them.
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise

TITLE = "Whirlet@Brackenholme"
MENU_TITLE = "freeglut menu"  # the toolkit's pop-up menus, native and under Wine
# The menu as a user reads it, top to bottom: (label, submenu or None).
MENU = [("White", None), ("RGB Menu", [("Red", None), ("Blue", None), ("Green", None)])]
COLOURS = {"White": (255, 255, 255), "Red": (255, 0, 0), "Green": (0, 255, 0),
           "Blue": (0, 0, 255)}
MENU_BORDER = 2  # the toolkit's, around its entries
TURN = 360  # frames: the triangle turns a degree a frame
SCREEN = "-screen 0 1280x1024x24"  # the Xvfb of a run that is given no display


class Native:
    """The program as built for this system, on a display without a window manager."""

    startup_timeout = 15.0
    change_timeout = 3.0  # how long a change (a menu, a window's size) may take to reach X
    frame_timeout = 10.0  # how long one frame may take on a busy machine
    # Frames that may still show the picture as it was before a change: one already on its way
    # to the X server, and one drawn before the program read the change. The next is new.
    settle_frames = 3
    close_timeout = 5.0

    def __init__(self, program):
        self.program = os.path.abspath(program)

    def prepare(self, display):
        """Once per display, before the first run."""

    def finish(self):
        """Once per display, after the last run."""

    def command(self, args):
        return [self.program, *args], None  # command, environment (None: this one)

    def client_origin(self, app):
        """Where the window's drawing area must land for the asked-for (100,100): a window
        manager puts its frame there, with the drawing area inside by the frame's sizes that it
        announces; with none, the window is where it asked to be."""
        if os.environ.get("SWAYSOCK"):
            # sway places a window itself (a floating one in the middle of the screen): there,
            # where it says it drew the window's contents.
            tree = json.loads(subprocess.run(["swaymsg", "-t", "get_tree"], check=True,
                                             stdout=subprocess.PIPE).stdout)
            nodes = [tree]
            while nodes:
                node = nodes.pop()
                if node.get("window") == app.window.id:
                    return (node["rect"]["x"] + node["window_rect"]["x"],
                            node["rect"]["y"] + node["window_rect"]["y"])
                nodes += node["nodes"] + node["floating_nodes"]
            raise AssertionError("sway does not know the window")
        left, _, top, _ = app.display.frame_extents(app.window)
        return 100 + left, 100 + top


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns something truthy; returns that, or fails the check."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f}s waiting for {what}")
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# The display


def connect(name):
    """An X connection. Python-xlib keeps one table of extension opcodes, events and errors for
    all of them, but these differ between servers: each connection gets tables of its own."""
    tables = {"extension_major_opcodes": {}, "event_classes": event.event_class.copy(),
              "error_classes": error.xerror_class.copy()}
    for table, fresh in tables.items():
        setattr(protocol.Display, table, fresh)
    x = display.Display(name)
    for table, filled in tables.items():
        setattr(x.display, table, filled)
    return x


# An Xlib window with its place on the screen and whether it is shown.
WinInfo = namedtuple("WinInfo", "window x y width height viewable")


class Display:
    """The X display the checks run on: $DISPLAY (with $XAUTHORITY). Input goes there too, unless
    WHIRLET_E2E_INPUT names the display that a compositor nested in it reads its input from:
    then pointer and keys pass through the compositor, as a user's do."""

    def __init__(self):
        self.x = connect(None)
        self.root = self.x.screen().root
        self.x.damage_query_version()  # the extension answers nothing before this
        outer = os.environ.get("WHIRLET_E2E_INPUT")
        self.input = connect(outer) if outer else self.x

    def close(self):
        if self.input is not self.x:
            self.input.close()
        self.x.close()

    def size(self):
        screen = self.x.screen()
        return screen.width_in_pixels, screen.height_in_pixels

    def windows(self, name, depth=3):
        """Windows with this title anywhere near the top of the tree (a window manager puts
        them inside its frames, which may carry the title too: the innermost is the client's),
        with their place on the screen."""
        found = []

        def walk(window, level):
            try:
                children = window.query_tree().children
            except error.XError:
                return  # gone meanwhile
            for child in children:
                try:
                    before = len(found)
                    if level < depth:
                        walk(child, level + 1)
                    if len(found) == before and child.get_wm_name() == name:
                        geometry = child.get_geometry()
                        at = child.translate_coords(self.root, 0, 0)
                        found.append(WinInfo(child, -at.x, -at.y, geometry.width,
                                             geometry.height,
                                             child.get_attributes().map_state == X.IsViewable))
                except error.XError:
                    pass

        self.x.sync()
        walk(self.root, 1)
        return found

    def frame_extents(self, window):
        """(left, right, top, bottom): what a window manager says its frame adds around the
        window; nothing without one."""
        extents = window.get_full_property(self.x.intern_atom("_NET_FRAME_EXTENTS"),
                                           X.AnyPropertyType)
        return tuple(extents.value) if extents else (0, 0, 0, 0)

    def window_manager(self):
        """Whether a window manager runs on the display (it says so on the root window)."""
        check = self.x.intern_atom("_NET_SUPPORTING_WM_CHECK")
        return bool(self.root.get_full_property(check, X.AnyPropertyType))

    def grab(self, window, width, height):
        """A window's pixels. (Not the root window's: under Xwayland that fails.)"""
        raw = window.get_image(0, 0, width, height, X.ZPixmap, 0xFFFFFFFF)
        return Image.frombytes("RGB", (width, height), raw.data, "raw", "BGRX")

    # -- a user's hands, through XTEST

    def pointer(self, x, y):
        """Moves the pointer to a place on a window, and waits until the window's display has
        it there (through the compositor, when there is one)."""
        polls = 0

        def there():
            nonlocal polls
            if polls % 10 == 0:  # again now and then: a compositor may not show the window yet
                for at in ((x, y + 1), (x, y)) if polls else ((x, y),):
                    xtest.fake_input(self.input, X.MotionNotify, x=at[0], y=at[1])
                self.input.sync()
            polls += 1
            pointer = self.root.query_pointer()
            return (pointer.root_x, pointer.root_y) == (x, y)

        wait_until(there, 2.0, 0.02, f"the pointer to reach {x},{y}")

    def click(self, button):
        if self.input is not self.x:
            # A compositor may not pass a button to what lies under a pointer that has not
            # moved since a menu closed: a pixel's nudge first.
            at = self.root.query_pointer()
            for x, y in ((at.root_x, at.root_y + 1), (at.root_x, at.root_y)):
                xtest.fake_input(self.input, X.MotionNotify, x=x, y=y)
        for kind in (X.ButtonPress, X.ButtonRelease):
            xtest.fake_input(self.input, kind, button)
            self.input.sync()
            time.sleep(0.02)

    def key(self, combo):
        """Presses a key with modifiers, in xdotool's naming: 'ctrl+c', 'alt+F4', 'Escape'."""
        names = [{"ctrl": "Control_L", "alt": "Alt_L", "shift": "Shift_L"}.get(n, n)
                 for n in combo.split("+")]
        codes = [self.input.keysym_to_keycode(XK.string_to_keysym(n)) for n in names]
        assert all(codes), f"no key for {combo!r}"
        for kind, order in ((X.KeyPress, codes), (X.KeyRelease, codes[::-1])):
            for code in order:
                xtest.fake_input(self.input, kind, code)
            self.input.sync()
            time.sleep(0.02)


# ---------------------------------------------------------------------------------------------
# Pictures


@dataclass
class Lit:
    """What the lit (non-black) pixels of a picture look like."""

    count: int
    bbox: Optional[Tuple[int, int, int, int]]  # x0, y0, x1, y1 inclusive, y down
    mean: Tuple[int, ...]
    strays: int  # lit pixels far from the mean colour: a flat triangle has none
    dim: int  # unlit pixels that are not pure black
    apex_x: Optional[float]  # middle of the topmost lit row
    foot_x: Optional[float]  # middle of the lowest lit row

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


def lit(image, threshold=40) -> Lit:
    colours = image.getcolors(image.width * image.height)
    shown = [(n, c) for n, c in colours if max(c) > threshold]
    dim = sum(n for n, c in colours if 0 < max(c) <= threshold)
    count = sum(n for n, _ in shown)
    if not count:
        return Lit(0, None, (0, 0, 0), 0, dim, None, None)
    mean = tuple(round(sum(n * c[i] for n, c in shown) / count) for i in range(3))
    strays = sum(n for n, c in shown if max(abs(a - b) for a, b in zip(c, mean)) > 40)
    mask = brightest(image).point(lambda v: 255 if v > threshold else 0)
    x0, y0, x1, y1 = mask.getbbox()

    def middle(y):
        left, _, right, _ = mask.crop((0, y, image.width, y + 1)).getbbox()
        return (left + right - 1) / 2

    return Lit(count, (x0, y0, x1 - 1, y1 - 1), mean, strays, dim, middle(y0), middle(y1 - 1))


def brightest(image):
    """Each pixel's brightest channel."""
    red, green, blue = image.split()
    return ImageChops.lighter(ImageChops.lighter(red, green), blue)


def distinct(images):
    return len({image.tobytes() for image in images})


def read_menu(image, layout):
    """The labels of a menu's entries, top to bottom, as tesseract reads them, with the middle
    row of each. The submenu arrow (the last mark on such an entry) is taken off first."""
    inner = image.crop((MENU_BORDER, MENU_BORDER, image.width - MENU_BORDER,
                        image.height - MENU_BORDER))
    # Ink is whatever differs from its row's background (its first pixel), so a highlighted
    # entry reads like the others, whatever the toolkit's colours.
    background = inner.crop((0, 0, 1, inner.height)).resize(inner.size, Image.NEAREST)
    ink = brightest(ImageChops.difference(inner, background)).point(lambda v: 255 * (v > 60))
    lines = []  # runs of inked rows: one per entry
    for y, inked in enumerate(ink.getprojection()[1]):
        if inked and lines and lines[-1][1] == y - 1:
            lines[-1][1] = y
        elif inked:
            lines.append([y, y])
    if len(lines) == len(layout):
        for (top, bottom), (_, submenu) in zip(lines, layout):
            if submenu is not None:
                columns = ink.crop((0, top, inner.width, bottom + 1)).getprojection()[0]
                right = max(x for x, inked in enumerate(columns) if inked)
                while right > 0 and columns[right - 1]:
                    right -= 1
                ink.paste(0, (right, top, inner.width, bottom + 1))
    # Tesseract reads small bitmap fonts far better enlarged, dark on light, with a margin.
    big = ink.resize((inner.width * 4, inner.height * 4), Image.LANCZOS)
    page = ImageOps.expand(ImageOps.invert(big), border=20, fill=255)
    png = BytesIO()
    page.save(png, "PNG")
    text = subprocess.run(["tesseract", "stdin", "stdout", "--psm", "6"], input=png.getvalue(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    labels = [line.strip() for line in text.decode().splitlines() if line.strip()]
    middles = [MENU_BORDER + (top + bottom) // 2 for top, bottom in lines]
    return labels, middles


# ---------------------------------------------------------------------------------------------
# The program under test


class App:
    """One run of the program, driven as a user would."""

    def __init__(self, display: Display, platform, args=()):
        self.display, self.platform = display, platform
        command, env = platform.command(list(args))
        self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err)
        self.window = None
        self.menu_reads = {}  # (menu window, size) -> (labels, rows in it): they stay

    # -- lifetime

    def alive(self):
        return self.proc.poll() is None

    def wait_window(self):
        """Waits for the program's window and its first lit frame."""

        def shown():
            assert self.alive(), (f"program exited early with status {self.proc.returncode}; "
                                  f"output: {self.output()}")
            return [w for w in self.display.windows(TITLE) if w.viewable]

        found = wait_until(shown, self.platform.startup_timeout, 0.1,
                           f"a window titled {TITLE!r}")
        self.window = found[0].window
        wait_until(lambda: lit(self.screenshot()).count, self.platform.startup_timeout, 0.1,
                   "a lit first frame")
        return self

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        """What a window manager sends when the user closes the window."""
        x = self.display.x
        self.window.send_event(event.ClientMessage(
            window=self.window, client_type=x.intern_atom("WM_PROTOCOLS"),
            data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        x.sync()

    def output(self):
        """(stdout, stderr) so far, as text."""
        return tuple(f.seek(0) or f.read().decode("utf-8", "replace")
                     for f in (self.out, self.err))

    def kill(self):
        """Ends the program if it still runs; its output stays readable."""
        if self.alive():
            self.proc.kill()
        self.proc.wait()

    # -- looking

    def geometry(self):
        """(x, y, width, height) of the window's drawing area on the screen."""
        self.display.x.sync()
        at = self.window.translate_coords(self.display.root, 0, 0)
        size = self.window.get_geometry()
        return -at.x, -at.y, size.width, size.height

    def screenshot(self):
        _, _, width, height = self.geometry()
        return self.display.grab(self.window, width, height)

    def picture(self):
        """The X window the program draws in: under Wine a child of its window, else itself."""
        children = self.window.query_tree().children
        return children[0] if children else self.window

    def wait_frames(self, count):
        """Waits until the program has drawn count more frames: the X server reports each
        change to the window's pixels (drawing in a child window included) once it is made."""
        x = self.display.x
        watch = self.window.damage_create(damage.DamageReportNonEmpty)
        reports, deadline = 0, time.monotonic() + self.platform.frame_timeout
        try:
            # The first report is the server's own, at once: the whole window, as created.
            while reports <= count:
                if not x.pending_events():
                    assert self.alive(), (f"program exited with status {self.proc.returncode}; "
                                          f"output: {self.output()}")
                    assert time.monotonic() < deadline, (
                        f"no frame drawn for {self.platform.frame_timeout:.0f}s")
                    select.select([x], [], [], 0.5)
                elif getattr(x.next_event(), "damage", None) == watch:
                    reports, deadline = reports + 1, time.monotonic() + self.platform.frame_timeout
                    x.damage_subtract(watch)  # and report the next change again
        finally:
            x.damage_destroy(watch)
            x.sync()  # its reports still on their way arrive before this returns, and go
            while x.pending_events():
                x.next_event()

    def frames(self, count, apart=1):
        """Screenshots of count frames, each drawn at least `apart` frames after the one before.
        (Near face-on a turn of a degree or two may change no pixel.)"""
        shots = []
        for _ in range(count):
            self.wait_frames(apart)
            shots.append(self.screenshot())
        return shots

    def wait_colour(self, name=None, min_pixels=150):
        """The next frame that shows the triangle clearly (it may be edge-on a while): in the
        named colour, if one is given. Returns what that frame shows (a Lit)."""
        for _ in range(TURN):
            self.wait_frames(1)
            seen = lit(self.screenshot())
            if seen.count >= min_pixels:
                assert name in (None, seen.colour), f"expected a {name} triangle, saw {seen.colour}"
                return seen
        raise AssertionError(f"no frame in a whole turn showed {min_pixels} lit pixels")

    def menus(self):
        """The toolkit's menus on the screen now (they exist unmapped, 1x1, from the start)."""
        return [w for w in self.display.windows(MENU_TITLE)
                if w.viewable and w.width > 1 and w.height > 1]

    def read_menu(self, menu, layout, fresh=False):
        """Labels and screen rows of an open menu's entries, read from its pixels. A menu is
        painted once the pointer is over it, and perhaps not at once: reads until the labels
        are the expected ones or the time is up, and returns the last reading."""
        key = (menu.window.id, menu.width, menu.height)
        if key in self.menu_reads and not fresh:
            labels, rows = self.menu_reads[key]
            return labels, [menu.y + row for row in rows]
        expected = [label for label, _ in layout]
        reading, nudge = ([], []), 0

        def read():
            nonlocal reading, nudge
            nudge = (nudge + 1) % 2  # the toolkit paints a menu as the pointer moves over it
            self.display.pointer(menu.x + menu.width // 2, menu.y + MENU_BORDER + 2 + nudge)
            shot = self.display.grab(menu.window, menu.width, menu.height)
            if len(shot.getcolors(menu.width * menu.height) or ()) < 3:
                return False  # not painted yet
            labels, rows = reading = read_menu(shot, layout)
            return labels == expected and len(rows) == len(labels)

        try:
            wait_until(read, self.platform.change_timeout, 0.1, "the menu's labels")
            self.menu_reads[key] = reading
        except AssertionError:
            pass  # the caller says what it expected
        return reading[0], [menu.y + row for row in reading[1]]

    # -- acting

    def click(self, button, at):
        """Clicks a button at a window-relative position."""
        x, y, _, _ = self.geometry()
        self.display.pointer(x + at[0], y + at[1])
        self.display.click(button)

    def key(self, *keys):
        """Presses keys with the program's window focused."""
        self.window.set_input_focus(X.RevertToParent, X.CurrentTime)
        for combo in keys:
            self.display.key(combo)

    def resize(self, width, height):
        """Resizes the window; returns once the program has drawn at the new size."""
        self.window.configure(width=width, height=height)

        def resized():
            picture = self.picture().get_geometry()
            return self.geometry()[2:] == (picture.width, picture.height) == (width, height)

        try:
            wait_until(resized, self.platform.change_timeout, 0.05,
                       f"the window to become {width}x{height}")
        except AssertionError as failure:
            state = self.window.get_full_property(self.display.x.intern_atom("_NET_WM_STATE"),
                                                  X.AnyPropertyType)
            names = [self.display.x.get_atom_name(a) for a in (state.value if state else ())]
            raise AssertionError(f"{failure}: it is {self.geometry()}, state {names}") from None
        self.wait_frames(self.platform.settle_frames)

    def new_menu(self, known, what):
        """A menu that opened, not among the known ones, once it stays put: the toolkit may
        show a menu where it last was before it moves it."""
        seen = []

        def settled():
            now = [w for w in self.menus() if w.window.id not in known]
            seen.append([w[1:] for w in now])
            return len(now) == 1 and seen[-3:] == [seen[-1]] * 3 and now[0]
        return wait_until(settled, self.platform.change_timeout, 0.03, what)

    def open_menu(self, at=(20, 20)):
        """Opens the pop-up menu with the right button at a window position."""
        assert not self.menus(), "a menu is already open"
        self.click(3, at)
        return self.new_menu((), "one menu to open")

    def open_submenu(self, menu, layout, label):
        """Rests the pointer on a menu's entry; returns the submenu that opens."""
        labels, rows = self.read_menu(menu, layout)
        assert label in labels, f"the menu reads {labels}, no {label!r}"
        known = {w.window.id for w in self.menus()}
        self.display.pointer(menu.x + menu.width // 2, rows[labels.index(label)])
        return self.new_menu(known, f"submenu {label!r} to open")

    def choose(self, path, at=(20, 20)):
        """Opens the menu at a window position and chooses the entry its labels name, through
        submenus. Returns once the menus closed and the program has drawn since."""
        menu, layout = self.open_menu(at), MENU
        for label in path[:-1]:
            menu = self.open_submenu(menu, layout, label)
            layout = dict(layout)[label]
        labels, rows = self.read_menu(menu, layout)
        assert path[-1] in labels, f"the menu reads {labels}, no {path[-1]!r}"
        self.display.pointer(menu.x + menu.width // 2, rows[labels.index(path[-1])])
        self.display.click(1)
        wait_until(lambda: not self.menus(), self.platform.change_timeout, 0.05,
                   "the menu to close")
        self.wait_frames(self.platform.settle_frames)

    def dismiss_menus(self):
        """Closes any open menu with a click on the window's far corner, away from the menus."""
        if self.menus():
            _, _, width, height = self.geometry()
            self.click(1, (width - 3, height - 3))
            wait_until(lambda: not self.menus(), self.platform.change_timeout, 0.05,
                       "the menus to close")


class Runs:
    """Starts the program when a check needs it running, and again if a check ended it."""

    def __init__(self, display, platform):
        self.display, self.platform, self.app, self.failed_start = display, platform, None, None

    def current(self):
        if self.failed_start:  # once is enough: no need to wait that long for every check
            raise AssertionError(self.failed_start)
        if self.app is None or not self.app.alive():
            self.app = App(self.display, self.platform)
            try:
                self.app.wait_window()
            except AssertionError as failure:
                self.app.kill()
                self.failed_start = f"the program did not start: {failure}"
                raise AssertionError(self.failed_start) from None
        return self.app

    def stop(self):
        if self.app is not None:
            self.app.kill()


def main(test_file, argv):
    """`python3 TEST_FILE PROGRAM [PYTEST OPTIONS]`: that file's checks on PROGRAM, on $DISPLAY
    or, when there is none, on an Xvfb of their own."""
    if len(argv) < 2 or argv[1].startswith("-"):
        print(f"usage: {argv[0]} PROGRAM [PYTEST OPTIONS, e.g. -k menu]", file=sys.stderr)
        return 2
    # A fresh interpreter, so that pytest imports (and rewrites the asserts of) every module.
    command = [sys.executable, "-m", "pytest", test_file, "--program", argv[1], "-v",
               "-p", "no:cacheprovider", "--rootdir", os.path.dirname(os.path.abspath(test_file)),
               *argv[2:]]
    if not os.environ.get("DISPLAY"):
        command = ["xvfb-run", "--auto-servernum", "--server-args", SCREEN, *command]
    os.execvp(command[0], command)
