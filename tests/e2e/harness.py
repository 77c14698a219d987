"""Drives the real program on an X display as a user would, and looks at its pixels: X through
python-xlib (XTEST for pointer and keys, or mutter's RemoteDesktop over D-Bus; DAMAGE to count
frames), pictures through Pillow, the menu's labels through tesseract. What differs under Wine
is in test_windows.py's Platform."""

import json
import os
import select
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from functools import reduce
from io import BytesIO
from itertools import count as counter, groupby


def on_debian_python():
    """Debian's python3-* packages serve Debian's interpreter, not an earlier python3 on PATH:
    restarts this under Debian's, where it is another."""
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])


try:
    import Xlib
    from PIL import Image, ImageChops, ImageOps
    from Xlib import X, XK, display, error
    from Xlib.ext import damage
    from Xlib.protocol import display as protocol, event
except ImportError:
    on_debian_python()
    raise

TITLE = "Whirlet@Brackenholme"
MENU_TITLE = "freeglut menu"  # the toolkit's pop-up menus, native and under Wine
# The menu as a user reads it, top to bottom: label -> submenu or None.
MENU = {"White": None, "RGB Menu": {"Red": None, "Blue": None, "Green": None}}
COLOURS = {"White": (255, 255, 255), "Red": (255, 0, 0), "Green": (0, 255, 0),
           "Blue": (0, 0, 255)}
MENU_BORDER = 2  # the toolkit's, around its entries
TURN = 360  # frames: the triangle turns a degree a frame
# Frames that may still show the picture as it was before a change: one already on its way to
# the X server, and one drawn before the program read the change. The next is new.
SETTLE_FRAMES = 3


class Native:
    # Seconds to start, for a change (a menu, a window's size) to reach X, for one frame on a
    # busy machine, and to end after a close.
    startup_timeout, change_timeout, frame_timeout, close_timeout = 15.0, 3.0, 10.0, 5.0

    def __init__(self, program):
        # The program runs as [*launcher, program, arguments] in env (None: this one).
        self.program, self.launcher, self.env = os.path.abspath(program), [], None

    def prepare(self, display):
        """Once per display, before the first run; finish() after the last."""

    def finish(self):
        pass

    def client_origin(self, app):
        """Where the drawing area must land for the asked-for (100,100): a window manager puts
        its frame there, the drawing area inside by the frame extents it announces."""
        if os.environ.get("SWAYSOCK"):
            # sway places a window itself: where it says it drew the window's contents.
            nodes = [json.loads(subprocess.run(["swaymsg", "-t", "get_tree"], check=True,
                                               stdout=subprocess.PIPE).stdout)]
            for node in nodes:  # grows as it goes: the whole tree
                if node.get("window") == app.window.id:
                    return (node["rect"]["x"] + node["window_rect"]["x"],
                            node["rect"]["y"] + node["window_rect"]["y"])
                nodes += node["nodes"] + node["floating_nodes"]
            raise AssertionError("sway does not know the window")
        left, _, top, _ = app.display.frame_extents(app.window)
        return 100 + left, 100 + top


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f}s waiting for {what}")
        time.sleep(interval)
    return value


# python-xlib keeps these tables on its protocol Display class, shared by every connection,
# though opcodes, events and errors differ between servers: connect() gives each its own.
# Checked on python-xlib 0.33 (Debian 12's 0.33-2, 13's 0.33-3, forky's 0.33-6).
def connect(name):
    """An X connection with extension tables of its own."""
    tables = {"extension_major_opcodes": {}, "event_classes": event.event_class.copy(),
              "error_classes": error.xerror_class.copy()}
    missing = [t for t in tables if not isinstance(getattr(protocol.Display, t, None), dict)]
    assert not missing, (
        f"python-xlib {'.'.join(map(str, Xlib.__version__))} has no {', '.join(missing)} on its "
        "protocol Display class: connect() must learn where this version keeps them")
    for table, fresh in tables.items():
        setattr(protocol.Display, table, fresh)
    x = display.Display(name)
    for table, filled in tables.items():
        setattr(x.display, table, filled)
    return x


class RemoteDesktop:
    """Input through mutter's RemoteDesktop on the D-Bus session bus at an address, taking the
    X calls Display makes. The pointer moves relatively (absolute moves need a screen cast, and
    that PipeWire), from the top-left corner where it starts pushed."""
    BUTTONS = {1: 0x110, 2: 0x112, 3: 0x111}  # evdev's left, middle, right

    def __init__(self, address, keymap):
        import dbus  # only here: python3-dbus is a desktop package
        bus, name = dbus.bus.BusConnection(address), "org.gnome.Mutter.RemoteDesktop"
        path = dbus.Interface(bus.get_object(name, "/" + name.replace(".", "/")),
                              name).CreateSession()
        self.session = dbus.Interface(bus.get_object(name, path), name + ".Session")
        self.session.Start()
        self.at, self.keysym_to_keycode = (0, 0), keymap.keysym_to_keycode
        self.session.NotifyPointerMotionRelative(-1e5, -1e5)

    def xtest_fake_input(self, kind, detail=0, x=0, y=0):
        press = kind in (X.ButtonPress, X.KeyPress)
        if kind == X.MotionNotify:
            self.session.NotifyPointerMotionRelative(x - self.at[0], y - self.at[1])
            self.at = (x, y)
        elif kind in (X.KeyPress, X.KeyRelease):
            # From Xwayland's keymap, which is mutter's: X's keycodes are evdev's + 8.
            self.session.NotifyKeyboardKeycode(detail - 8, press)
        elif detail in self.BUTTONS:
            self.session.NotifyPointerButton(self.BUTTONS[detail], press)
        elif press:  # the wheel: buttons 4 (up) and 5
            self.session.NotifyPointerAxisDiscrete(0, 2 * detail - 9)

    def sync(self):
        pass  # each call above returned once mutter had it

    def close(self):
        self.session.Stop()


WinInfo = namedtuple("WinInfo", "window x y width height viewable")  # x, y on the screen


class Display:
    """$DISPLAY (with $XAUTHORITY). Input goes there too, unless WHIRLET_E2E_INPUT names where a
    compositor reads its input from, the display it is nested in or the D-Bus address of
    mutter's RemoteDesktop: then it passes through the compositor, as a user's does."""

    def __init__(self):
        self.x = connect(None)
        self.root = self.x.screen().root
        self.x.damage_query_version()  # the extension answers nothing before this
        outer = os.environ.get("WHIRLET_E2E_INPUT")
        if outer and outer.startswith("unix:"):  # a D-Bus address
            self.input = RemoteDesktop(outer, self.x)
        else:
            self.input = connect(outer) if outer else self.x

    def close(self):
        if self.input is not self.x:
            self.input.close()
        self.x.close()

    def windows(self, name, depth=3):
        """Windows with this title near the top of the tree: the innermost, when a window
        manager's frame carries the title too."""
        def walk(window, level):
            found = []
            for child in window.query_tree().children:
                try:
                    inner = walk(child, level + 1) if level < depth else []
                    if not inner and child.get_wm_name() == name:
                        inner = [WinInfo(child, *self.geometry(child),
                                         child.get_attributes().map_state == X.IsViewable)]
                    found += inner
                except error.XError:
                    pass  # gone meanwhile
            return found

        self.x.sync()
        return walk(self.root, 1)

    def geometry(self, window):
        """(x, y, width, height) of a window, x and y on the screen."""
        at, size = window.translate_coords(self.root, 0, 0), window.get_geometry()
        return -at.x, -at.y, size.width, size.height

    def atoms(self, window, name):
        value = window.get_full_property(self.x.intern_atom(name), X.AnyPropertyType)
        return tuple(value.value) if value else ()

    def frame_extents(self, window):  # (left, right, top, bottom) of a window manager's frame
        return self.atoms(window, "_NET_FRAME_EXTENTS") or (0, 0, 0, 0)

    def window_manager(self):
        return bool(self.atoms(self.root, "_NET_SUPPORTING_WM_CHECK"))

    def start_window_manager(self):
        """openbox on this display, once it manages windows there; it ends with the display."""
        manager = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.STDOUT)
        wait_until(self.window_manager, 15, 0.1, "the window manager")
        return manager

    def grab(self, window, width, height):
        """A window's pixels. (Not the root window's: under Xwayland that fails.)"""
        raw = window.get_image(0, 0, width, height, X.ZPixmap, 0xFFFFFFFF)
        return Image.frombytes("RGB", (width, height), raw.data, "raw", "BGRX")

    def move(self, *places):
        for x, y in places:
            self.input.xtest_fake_input(X.MotionNotify, x=x, y=y)
        self.input.sync()

    def pointer(self, x, y):
        """Moves the pointer, and waits until the window's display has it there."""
        polls = counter()

        def there():
            if (poll := next(polls)) % 10 == 0:  # again now and then: a compositor may be late
                self.move(*(((x, y + 1), (x, y)) if poll else ((x, y),)))
            pointer = self.root.query_pointer()
            return (pointer.root_x, pointer.root_y) == (x, y)

        wait_until(there, 8.0, 0.02, f"the pointer to reach {x},{y}")

    def press(self, *events):
        for kind, detail in events:
            self.input.xtest_fake_input(kind, detail)
        self.input.sync()
        time.sleep(0.02)

    def click(self, button):
        if self.input is not self.x:
            # A compositor may not pass a button to what lies under a pointer that has not
            # moved since a menu closed: a pixel's nudge first.
            at = self.root.query_pointer()
            self.move((at.root_x, at.root_y + 1), (at.root_x, at.root_y))
        self.press((X.ButtonPress, button))
        self.press((X.ButtonRelease, button))

    def key(self, combo):
        """Presses a key with modifiers, in xdotool's naming: 'ctrl+c', 'alt+F4', 'Escape'."""
        names = [{"ctrl": "Control_L", "alt": "Alt_L", "shift": "Shift_L"}.get(n, n)
                 for n in combo.split("+")]
        codes = [self.input.keysym_to_keycode(XK.string_to_keysym(n)) for n in names]
        assert all(codes), f"no key for {combo!r}"
        self.press(*((X.KeyPress, code) for code in codes))
        self.press(*((X.KeyRelease, code) for code in reversed(codes)))


Lit = namedtuple("Lit", "count bbox width colour strays dim apex_x foot_x")


def lit(image, threshold=40) -> Lit:
    """What a picture's lit (non-black) pixels look like: their bbox (x0, y0, x1, y1 inclusive,
    y down), the colour they average to, strays (lit pixels far from it: a flat triangle has
    none), dim (unlit pixels that are not pure black), and the middles of the topmost and lowest
    lit rows."""
    colours = image.getcolors(image.width * image.height)
    shown = [(n, c) for n, c in colours if max(c) > threshold]
    dim = sum(n for n, c in colours if 0 < max(c) <= threshold)
    count = sum(n for n, _ in shown)
    if not count:
        return Lit(0, None, 0, "nothing lit", 0, dim, None, None)
    mean = tuple(round(sum(n * c[i] for n, c in shown) / count) for i in range(3))
    strays = sum(n for n, c in shown if max(abs(a - b) for a, b in zip(c, mean)) > 40)
    colour = next((name for name, rgb in COLOURS.items()
                   if all(abs(a - b) <= 40 for a, b in zip(mean, rgb))), f"rgb{mean}")
    mask = image.point(lambda v: 255 if v > threshold else 0)  # a pixel with any band set is lit
    x0, y0, x1, y1 = mask.getbbox()

    def middle(y):
        left, _, right, _ = mask.crop((0, y, image.width, y + 1)).getbbox()
        return (left + right - 1) / 2

    return Lit(count, (x0, y0, x1 - 1, y1 - 1), x1 - x0, colour, strays, dim, middle(y0),
               middle(y1 - 1))


def distinct(images):
    return len({image.tobytes() for image in images})


def read_menu(image, layout):
    """The labels of a menu's entries as tesseract reads them, with the middle row of each,
    the submenu arrow (the last mark on such an entry) taken off first."""
    inner = image.crop((MENU_BORDER, MENU_BORDER, image.width - MENU_BORDER,
                        image.height - MENU_BORDER))
    # Ink is whatever differs from its row's background (its first pixel), so a highlighted
    # entry reads like the others, whatever the toolkit's colours.
    background = inner.crop((0, 0, 1, inner.height)).resize(inner.size, Image.NEAREST)
    brightest = reduce(ImageChops.lighter, ImageChops.difference(inner, background).split())
    ink = brightest.point(lambda v: 255 * (v > 60))
    rows = ink.getprojection()[1]
    runs = [list(ys) for inked, ys in groupby(range(len(rows)), rows.__getitem__) if inked]
    lines = [(ys[0], ys[-1]) for ys in runs]  # runs of inked rows: one per entry
    for (top, bottom), submenu in zip(lines, layout.values()):  # a misread: App.read_menu reads on
        if submenu is not None:
            columns = ink.crop((0, top, inner.width, bottom + 1)).getprojection()[0]
            right = max(x for x, inked in enumerate(columns) if inked)
            while right > 0 and columns[right - 1]:
                right -= 1
            ink.paste(0, (right, top, inner.width, bottom + 1))
    # Tesseract reads small bitmap fonts far better enlarged, dark on light, with a margin.
    big = ink.resize((inner.width * 4, inner.height * 4), Image.LANCZOS)
    png = BytesIO()
    ImageOps.expand(ImageOps.invert(big), border=20, fill=255).save(png, "PNG")
    text = subprocess.run(["tesseract", "stdin", "stdout", "--psm", "6"], input=png.getvalue(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    words = [line.strip() for line in text.decode().splitlines() if line.strip()]
    return words, [MENU_BORDER + (top + bottom) // 2 for top, bottom in lines]


class App:
    """One run of the program, driven as a user would."""

    def __init__(self, display: Display, platform, args=()):
        self.display, self.platform = display, platform
        self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.proc = subprocess.Popen([*platform.launcher, platform.program, *args],
                                     env=platform.env, stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err)
        self.window = None
        self.menu_reads = {}  # (menu window, size) -> (labels, rows in it): they stay

    def alive(self):
        return self.proc.poll() is None

    def assert_alive(self, what="exited"):
        assert self.alive(), (f"program {what} with status {self.proc.returncode}; "
                              f"output: {self.output()}")

    def wait_window(self):
        def shown():
            self.assert_alive("exited early")
            return [w for w in self.display.windows(TITLE) if w.viewable]

        timeout = self.platform.startup_timeout
        self.window = wait_until(shown, timeout, 0.1, f"a window titled {TITLE!r}")[0].window
        wait_until(lambda: lit(self.screenshot()).count, timeout, 0.1, "a lit first frame")
        return self

    def close(self):
        """What a window manager sends when the user closes the window."""
        x = self.display.x
        self.window.send_event(event.ClientMessage(
            window=self.window, client_type=x.intern_atom("WM_PROTOCOLS"),
            data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        x.sync()

    def output(self):  # (stdout, stderr) so far
        return tuple(f.seek(0) or f.read().decode("utf-8", "replace")
                     for f in (self.out, self.err))

    def kill(self):
        if self.alive():
            self.proc.kill()
        self.proc.wait()

    def geometry(self):
        """(x, y, width, height) of the window's drawing area on the screen."""
        self.display.x.sync()
        return self.display.geometry(self.window)

    def screenshot(self):
        return self.display.grab(self.window, *self.geometry()[2:])

    def picture(self):
        """The X window the program draws in: under Wine a child of its window, else itself."""
        children = self.window.query_tree().children
        return children[0] if children else self.window

    def wait_frames(self, count):
        """Waits until the program has drawn count more frames: the X server reports each
        change to the window's pixels (a child window's included) once it is made."""
        x, timeout = self.display.x, self.platform.frame_timeout
        watch = self.window.damage_create(damage.DamageReportNonEmpty)
        reports, deadline = 0, time.monotonic() + timeout
        try:
            # The first report is the server's own, at once: the whole window, as created.
            while reports <= count:
                if not x.pending_events():
                    self.assert_alive()
                    assert time.monotonic() < deadline, f"no frame drawn for {timeout:.0f}s"
                    select.select([x], [], [], 0.5)
                elif getattr(x.next_event(), "damage", None) == watch:
                    reports, deadline = reports + 1, time.monotonic() + timeout
                    x.damage_subtract(watch)  # and report the next change again
        finally:
            x.damage_destroy(watch)
            x.sync()  # its reports still on their way arrive before this returns, and go
            while x.pending_events():
                x.next_event()

    def wait_settled(self):
        self.wait_frames(SETTLE_FRAMES)

    def shots(self, count=TURN, apart=1):
        """Screenshots of count frames, each at least `apart` frames after the one before.
        (Near face-on a turn of a degree or two may change no pixel.)"""
        for _ in range(count):
            self.wait_frames(apart)
            yield self.screenshot()

    def wait_colour(self, name=None, min_pixels=150):
        """The Lit of the next frame that shows the triangle clearly (it may be edge-on a
        while), which must be in the named colour, if one is given."""
        for seen in map(lit, self.shots()):
            if seen.count >= min_pixels:
                assert name in (None, seen.colour), (
                    f"expected a {name} triangle, saw {seen.colour}")
                return seen
        raise AssertionError(f"no frame in a whole turn showed {min_pixels} lit pixels")

    def menus(self):
        """The toolkit's menus on the screen now (they exist unmapped, 1x1, from the start)."""
        return [w for w in self.display.windows(MENU_TITLE)
                if w.viewable and w.width > 1 and w.height > 1]

    def wait_menus_closed(self, what="the menu to close"):
        wait_until(lambda: not self.menus(), self.platform.change_timeout, 0.05, what)

    def read_menu(self, menu, layout, fresh=False):
        """Labels and screen rows of an open menu's entries. A menu is painted once the pointer
        is over it, perhaps not at once: reads until the labels are the expected ones or the
        time is up, and returns the last reading."""
        key = (menu.window.id, menu.width, menu.height)
        reading = None if fresh else self.menu_reads.get(key)
        if reading is None:
            expected, reading, nudge = list(layout), ([], []), 0

            def read():
                nonlocal reading, nudge
                nudge = 1 - nudge  # the toolkit paints a menu as the pointer moves over it
                self.display.pointer(menu.x + menu.width // 2, menu.y + MENU_BORDER + 2 + nudge)
                shot = self.display.grab(menu.window, menu.width, menu.height)
                if len(shot.getcolors(menu.width * menu.height) or ()) < 3:
                    return False  # not painted yet
                words, rows = reading = read_menu(shot, layout)
                return words == expected and len(rows) == len(words)

            try:
                wait_until(read, self.platform.change_timeout, 0.1, "the menu's labels")
                self.menu_reads[key] = reading
            except AssertionError:
                pass  # the caller says what it expected
        return reading[0], [menu.y + row for row in reading[1]]

    def click(self, button, at):
        x, y, _, _ = self.geometry()
        self.display.pointer(x + at[0], y + at[1])
        self.display.click(button)

    def key(self, *keys):
        self.window.set_input_focus(X.RevertToParent, X.CurrentTime)
        for combo in keys:
            self.display.key(combo)

    def resize(self, width, height):
        self.window.configure(width=width, height=height)

        def resized():
            picture = self.picture().get_geometry()
            return self.geometry()[2:] == (picture.width, picture.height) == (width, height)

        try:
            wait_until(resized, self.platform.change_timeout, 0.05,
                       f"the window to become {width}x{height}")
        except AssertionError as failure:
            state = [self.display.x.get_atom_name(a)
                     for a in self.display.atoms(self.window, "_NET_WM_STATE")]
            raise AssertionError(f"{failure}: it is {self.geometry()}, state {state}") from None
        self.wait_settled()

    def new_menu(self, opener, what):
        """The menu that opener opens, once it stays put: the toolkit may show a menu where it
        last was before it moves it."""
        known, seen = {w.window.id for w in self.menus()}, []
        opener()

        def settled():
            now = [w for w in self.menus() if w.window.id not in known]
            seen.append([w[1:] for w in now])
            return len(now) == 1 and seen[-3:] == [seen[-1]] * 3 and now[0]
        return wait_until(settled, self.platform.change_timeout, 0.03, what)

    def open_menu(self, at=(20, 20)):
        assert not self.menus(), "a menu is already open"
        return self.new_menu(lambda: self.click(3, at), "one menu to open")

    def point_at(self, menu, layout, label):
        words, rows = self.read_menu(menu, layout)
        assert label in words, f"the menu reads {words}, no {label!r}"
        self.display.pointer(menu.x + menu.width // 2, rows[words.index(label)])

    def open_submenu(self, menu, layout, label):
        return self.new_menu(lambda: self.point_at(menu, layout, label),
                             f"submenu {label!r} to open")

    def choose(self, path, at=(20, 20)):
        """Chooses the entry its labels name, through submenus, from the menu opened at a
        window position. Returns once the menus closed and the program has drawn since."""
        menu, layout = self.open_menu(at), MENU
        for label in path[:-1]:
            menu, layout = self.open_submenu(menu, layout, label), layout[label]
        self.point_at(menu, layout, path[-1])
        self.display.click(1)
        self.wait_menus_closed()
        self.wait_settled()

    def dismiss_menus(self):
        """Closes any open menu with a click on the window's far corner, away from the menus."""
        if self.menus():
            _, _, width, height = self.geometry()
            self.click(1, (width - 3, height - 3))
            self.wait_menus_closed("the menus to close")


def main(test_file, argv):
    """`python3 TEST_FILE PROGRAM [PYTEST OPTIONS]`: that file's checks on PROGRAM, on $DISPLAY
    or, when there is none, on an Xvfb of their own."""
    if len(argv) < 2 or argv[1].startswith("-"):
        print(f"usage: {argv[0]} PROGRAM [PYTEST OPTIONS, e.g. -k menu]", file=sys.stderr)
        return 2
    try:
        import pytest  # noqa: F401  only the checks need it, not scripts/screenshot
    except ImportError:
        on_debian_python()
        raise
    # A fresh interpreter, so that pytest imports (and rewrites the asserts of) every module.
    command = [sys.executable, "-m", "pytest", test_file, "--program", argv[1], "-v",
               "-p", "no:cacheprovider", "--rootdir", os.path.dirname(os.path.abspath(test_file)),
               *argv[2:]]
    if not os.environ.get("DISPLAY"):
        command = ["xvfb-run", "--auto-servernum", "--server-args", "-screen 0 1280x1024x24",
                   *command]
    os.execvp(command[0], command)
