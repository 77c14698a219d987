"""Seeded random abuse of the real program:
    python3 test_soak.py PROGRAM [--seed N] [PYTEST OPTIONS]

Menu choices, resizes (from 1x1 to the whole screen), moves (not under a window manager, which
places the window itself), hiding and showing, other buttons and keys. After every step the
program must still run and animate, in the colour chosen last, with the triangle where the
camera puts it; its memory must level off after a warm-up; a polite close must give status 0.
"""

import random
import sys
import time
import warnings

import harness  # first: it restarts under Debian's python3 when another one runs this
from geometry import VERTICES, project
from harness import TURN, X, event, lit, wait_until
from test_linux import SIZE, check_size, test_polite_close as check_close  # not a test here

MENU_PATHS = [["White"], ["RGB Menu", "Red"], ["RGB Menu", "Blue"], ["RGB Menu", "Green"]]
OTHER_BUTTONS = [1, 2, 4, 5]  # left, middle, wheel; the right one is the menu's
KEYS = ["Escape", "q", "space", "Return", "F1", "Left", "a", "1", "ctrl+c", "alt+F4", "Delete"]
# Growth the renderer may still show after its warm-up (allocator caches, driver scratch).
RSS_ALLOWANCE_KB = 12 * 1024


def memory(pid, field="VmRSS"):
    """The program's resident memory in kB (VmHWM: its peak)."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def peak_memory(pid):
    """The program's peak resident memory in kB since the call before (or its start): Linux
    keeps it, so no short peak goes unseen. The next call's peak counts from now."""
    peak = memory(pid, "VmHWM")
    with open(f"/proc/{pid}/clear_refs", "w") as refs:
        refs.write("5")  # the peak back to the resident memory now
    return peak


class Soak:
    def __init__(self, app, seed):
        self.app, self.rng = app, random.Random(seed)
        # The biggest window: the screen, less a window manager's frame around it.
        left, right, top, bottom = app.display.frame_extents(app.window)
        screen = app.display.x.screen()
        self.screen = (screen.width_in_pixels - left - right,
                       screen.height_in_pixels - top - bottom)
        self.specials = [self.screen, (1, 1), (SIZE[0], 1), (1, SIZE[1])]  # sizes to try
        self.colour, self.size, self.origin = "White", SIZE, (100, 100)
        # A window manager places windows, and may refuse a program's moves (mutter and sway
        # do), and alt+F4 closes a window there: with one, the soak leaves those out.
        self.managed = app.display.window_manager()
        self.keys = [key for key in KEYS if not (self.managed and key == "alt+F4")]
        if self.managed:
            warnings.warn("moves left out: a window manager places the window; and alt+F4: "
                          "it closes the window there")

    def step(self, text):  # each with the memory before it: pytest shows them if the soak fails
        self.app.assert_alive(f"died before {text!r}")
        print(f"{text} ({memory(self.app.proc.pid)} kB)")

    def play(self, actions):
        for action in actions:
            action()
            self.settle()

    def settle(self):
        """After any step, in frames drawn since: still running, still the last colour, and
        still animating."""
        app, (w, h) = self.app, self.size
        app.assert_alive("died")
        app.wait_settled()
        assert not app.menus(), "a menu is open"
        if w >= 40 and h >= 40:
            # The triangle's size follows the height: face-on it covers about h * h / 46 pixels.
            app.wait_colour(self.colour, min_pixels=min(150, h * h // 100))
            shots = app.shots(3, apart=30)  # in a small window ten degrees may change nothing
            assert harness.distinct(shots) >= 2, f"animation stopped at {w}x{h}"
        else:
            self.check_sliver()

    def check_sliver(self):
        """A window too small for a triangle: what it shows must be where the camera puts the
        triangle, in the last colour. (Whether it turns on is checked at the next full size.)"""
        w, h = self.size
        angles = [a / 2 for a in range(720)]
        if h == 1:
            # The one row looks along model height 0, where the triangle spans x -0.25..0.5.
            spots = [project((x, 0.0, 0.0), a, w, h)[0] for x in (-0.25, 0.5) for a in angles]
        else:
            spots = [project(v, a, w, h)[1] for v in VERTICES for a in angles]
        low, high = min(spots) - 1, max(spots) + 1
        # Narrower than a pixel (a wide window one pixel high): no pixel centre may be covered.
        must_show = max(spots) - min(spots) >= 1
        shown = 0
        for shot in self.app.shots(12):
            assert shot.size == (w, h), f"screenshot is {shot.size}, window should be {w}x{h}"
            seen = lit(shot)
            if seen.count:
                shown += 1
                assert seen.colour == self.colour, (
                    f"at {w}x{h} the lit pixels are {seen.colour}, expected {self.colour}")
                first, last = seen.bbox[0::2] if h == 1 else seen.bbox[1::2]
                assert low <= first and last <= high, (
                    f"at {w}x{h} lit from {first} to {last}, expected within "
                    f"{low:.1f}..{high:.1f}")
        assert shown or not must_show, f"at {w}x{h} the triangle never showed"

    def choose(self, path):
        if min(self.size) < 60:
            self.resize(*SIZE)
        self.step(f"menu {' > '.join(path)}")
        self.app.choose(path, at=(self.rng.randrange(10, self.size[0] - 10),
                                  self.rng.randrange(10, min(self.size[1], 200) - 10)))
        self.colour = path[-1]

    def resize(self, width, height):
        # The whole window on the screen: a screenshot of a window partly off it fails.
        x = min(self.origin[0], self.screen[0] - width)
        y = min(self.origin[1], self.screen[1] - height)
        if (x, y) != self.origin and not self.managed:
            self.move(x, y)
        if self.managed:
            self.unmaximise()
        self.step(f"resize {width}x{height}")
        try:
            self.app.resize(width, height)
        except AssertionError:
            if not (self.managed and self.unmaximise()):  # it may say so only late
                raise
            self.app.resize(width, height)
        self.size = (width, height)
        if width >= 40 and height >= 40:
            check_size(self.app, width, height)

    def random_resize(self):
        if self.rng.random() < 0.5:
            self.resize(*self.rng.choice(self.specials + [SIZE]))
        else:
            self.resize(self.rng.randrange(60, 700), self.rng.randrange(60, 600))

    def move(self, x=None, y=None):
        if x is None:
            x = self.rng.randrange(0, self.screen[0] - self.size[0] + 1)
            y = self.rng.randrange(0, self.screen[1] - self.size[1] + 1)
        self.step(f"move to {x},{y}")
        self.app.window.configure(x=x, y=y)
        wait_until(lambda: self.app.geometry()[:2] == (x, y), self.app.platform.change_timeout,
                   0.05, f"the window to move to {x},{y}")
        self.origin = (x, y)

    def hide_and_show(self):
        window = self.app.window
        for shown in (False, True):
            self.step("show" if shown else "hide")
            window.map() if shown else window.unmap()
            wait_until(lambda: (window.get_attributes().map_state != 0) == shown,
                       self.app.platform.change_timeout, 0.02,
                       "the window to be " + ("shown" if shown else "hidden"))
            if not shown:
                time.sleep(self.rng.uniform(0.1, 0.6))  # hidden a while: the program draws on
        if self.managed and self.unmaximise():
            self.app.resize(*self.size)

    def unmaximise(self):
        """Mutter maximises a window about as big as the screen (when it is shown again, or of
        its own accord) and then keeps its size: the soak asks it back, as a user would.
        Whether it had to."""
        display, window, atom = self.app.display, self.app.window, self.app.display.x.intern_atom
        maximised = {atom(f"_NET_WM_STATE_MAXIMIZED_{d}") for d in ("HORZ", "VERT")}

        def normal():
            return not maximised & set(display.atoms(window, "_NET_WM_STATE"))

        if normal():
            return False
        self.step("unmaximise")
        display.root.send_event(event.ClientMessage(
            window=window, client_type=atom("_NET_WM_STATE"), data=(32, [0, *maximised, 1, 0])),
            event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
        wait_until(normal, self.app.platform.change_timeout, 0.05, "the window unmaximised")
        return True

    def press_button(self):
        if self.managed and min(self.size) < 40:
            self.resize(*SIZE)  # its edges belong to the window manager's resize borders
        button = self.rng.choice(OTHER_BUTTONS)
        self.step(f"button {button}")
        width, height = self.size
        self.app.click(button, (self.rng.randrange(width), self.rng.randrange(height)))

    def press_keys(self):
        keys = self.rng.sample(self.keys, 3)
        self.step(f"keys {' '.join(keys)}")
        self.app.key(*keys)


def test_soak(app, request):
    seed = request.config.getoption("--seed")
    print(f"seed {seed}")
    s = Soak(app, seed)
    menus = [lambda p=p: s.choose(p) for p in MENU_PATHS]
    # Warm-up: every kind of step once, the biggest window included, before memory counts.
    s.play(menus + [lambda z=z: s.resize(*z) for z in (s.screen, (1, 1), (SIZE[0], 1), SIZE)]
           + [s.hide_and_show])
    peak_memory(app.proc.pid)
    app.wait_frames(TURN)
    baseline = peak_memory(app.proc.pid)  # over a turn, once warm

    # Every menu entry several times, every special size again, the rest at random.
    deck = (menus * 3 + [lambda z=z: s.resize(*z) for z in s.specials]
            + [s.random_resize] * 4 + [s.move] * (0 if s.managed else 4)
            + [s.hide_and_show] * 3 + [s.press_button] * 5 + [s.press_keys] * 5)
    s.rng.shuffle(deck)
    s.play(deck + [lambda: s.resize(*SIZE)])

    peak = peak_memory(app.proc.pid)
    app.wait_frames(TURN)
    late = peak_memory(app.proc.pid)
    assert late <= baseline + RSS_ALLOWANCE_KB and peak <= baseline + 2 * RSS_ALLOWANCE_KB, (
        f"resident memory grew from {baseline} kB after warm-up to {late} kB "
        f"(peak {peak} kB)")
    check_close(app)


if __name__ == "__main__":
    sys.exit(harness.main(__file__, sys.argv))
