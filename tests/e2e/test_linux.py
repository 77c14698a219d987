"""End-to-end checks that every build must pass (test_windows.py runs them under Wine):
    python3 test_linux.py PROGRAM [PYTEST OPTIONS]
"""

import random
import re
import subprocess
import sys

from geometry import VERTICES, project, widest
from harness import MENU, TURN, App, distinct, lit, main

SIZE = (320, 320)


def test_window(app):
    """The window, found by its exact title, is where the program asks for it, 320x320; frames
    ten degrees apart differ, and each shows one small flat white shape on black."""
    assert app.geometry() == (*app.platform.client_origin(app), *SIZE)
    shots = list(app.shots(4, apart=10))
    assert distinct(shots) >= 3, f"only {distinct(shots)} distinct pictures in 4 frames"
    for seen in map(lit, shots):
        assert seen.strays == 0 and seen.dim == 0, (
            f"{seen.strays} lit pixels of another colour and {seen.dim} dim ones: "
            "not one flat colour on black")
    seen = app.wait_colour("White")
    assert seen.count < 0.25 * SIZE[0] * SIZE[1], f"{seen.count} lit pixels: not a small triangle"


def check_size(app, width, height):
    """Frames at one window size agree with the camera: the top corner, on the turning axis,
    fixed; the width scaled by the height and cut off by the window's sides."""
    apex = project(VERTICES[2], 0.0, width, height)
    widest_px, widths, at = widest(width, height), [], f"at {width}x{height}"
    # The width depends on the angle: look until a frame comes near the widest it can be.
    for shot in app.shots():
        assert shot.size == (width, height), (
            f"screenshot is {shot.size}, expected {width}x{height}")
        seen = lit(shot)
        assert seen.width <= widest_px + 3, (
            f"{at} the triangle is {seen.width} px wide, at most {widest_px:.1f} expected")
        if seen.width < 0.5 * widest_px:
            continue  # nearly edge-on: a thin sliver may leave the corner's pixels unlit
        assert abs(seen.bbox[1] - apex[1]) <= 2, (
            f"{at} the top corner is on row {seen.bbox[1]}, expected {apex[1]:.1f}")
        assert abs(seen.apex_x - apex[0]) <= 3, (
            f"{at} the top corner is at x={seen.apex_x}, expected {apex[0]:.1f}")
        widths.append(seen.width)
        if seen.width >= 0.9 * widest_px and len(widths) >= 3:
            return
    raise AssertionError(f"{at} the triangle never got near {widest_px:.1f} px wide in a whole "
                         f"turn (widest seen {max(widths, default=0)})")


def test_both_faces(app):
    """Frames over whole turns show the triangle from the front and from the back (mirrored:
    its lowest corner on the other side); it vanishes only edge-on, two frames a turn."""
    seen = ""  # a letter a grab: "f" front, "b" back, "-" edge-on, "0" nothing lit
    rng = random.Random(7)  # irregular steps, so that no step locks onto the turn
    turned = 0  # frames at least
    edge_on = 0.3 * widest(*SIZE)  # narrower than this, a frame is seen edge-on
    # Grabs may lie anywhere from a few degrees to more than half a turn apart (a compositor
    # lags), so only how often nothing shows can be judged: 40 grabs make a tenth far beyond
    # the edge-on frames' chance, 1 in 180.
    while (min(map(seen.count, "fb")) < 5 or len(seen) < 40) and turned < 2 * TURN:
        step = rng.randint(1, 9)
        app.wait_frames(step)
        turned += step
        shot = lit(app.screenshot())
        if not shot.count:
            seen += "0"
        elif shot.width < edge_on:
            seen += "-"
        else:
            seen += "f" if shot.foot_x < SIZE[0] / 2 else "b"
    assert min(map(seen.count, "fb")) >= 5, f"front and back frames in turn: {seen}"
    assert seen.count("0") <= 0.1 * len(seen), f"the triangle vanished off edge-on: {seen}"


def test_menu_labels(app):
    """The right button opens the menu, which reads "White", "RGB Menu"; the submenu that opens
    on "RGB Menu", to its right, reads "Red", "Blue", "Green"."""
    menu = app.open_menu()
    assert app.read_menu(menu, MENU, fresh=True)[0] == list(MENU)
    submenu, layout = app.open_submenu(menu, MENU, "RGB Menu"), MENU["RGB Menu"]
    assert app.read_menu(submenu, layout, fresh=True)[0] == list(layout)
    assert submenu.x >= menu.x + menu.width - 2, "the submenu is not to the right of the menu"


def test_menu_colours(app):
    """Each menu entry, chosen by its label, turns the triangle its colour."""
    for path in (["RGB Menu", "Red"], ["White"], ["RGB Menu", "Blue"], ["RGB Menu", "Green"]):
        app.choose(path)
        app.wait_colour(path[-1])


def test_other_input_inert(app):
    """Other buttons and the keyboard change nothing: same colour, no menu, still turning."""
    before = app.wait_colour().colour
    for button in (1, 2):
        app.click(button, (SIZE[0] // 2, SIZE[1] // 2))
        app.wait_settled()
        assert not app.menus(), f"button {button} opened a menu"
    app.key("Escape", "q", "space", "Return", "a", "1", "F1", "Left", "ctrl+c")
    app.wait_settled()
    assert app.alive(), "program died from a click or key press"
    app.wait_colour(before)
    assert distinct(app.shots(3, apart=10)) >= 2, "animation stopped"


def test_resize(app):
    """Wide and tall windows keep the picture's proportions."""
    width, height = SIZE
    try:
        check_size(app, width, height)
        for size in ((2 * width, height), (width, 2 * height)):
            app.resize(*size)
            check_size(app, *size)
    finally:
        app.resize(width, height)


def test_visual(app):
    """The GL visual of the window the picture is drawn in is double-buffered RGBA with a
    depth buffer, as GLX describes it."""
    visual = app.picture().get_attributes().visual
    text = subprocess.run(["glxinfo", "-v"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout.decode()
    block = re.search(r"^Visual ID: %x .*?(?=^\S|\Z)" % visual, text, re.M | re.S)
    assert block, f"glxinfo lists no visual {visual:#x}"
    attributes = dict(re.findall(r"(\w+)=(\w+)", block.group(0)))
    assert attributes.get("doubleBuffer") == "1", "not double-buffered"
    assert attributes.get("renderType") == "rgba", "not RGBA"
    assert int(attributes.get("depthSize", 0)) > 0, "no depth buffer"


def test_polite_close(app):
    """A polite close ends the program promptly with status 0, and it printed nothing."""
    app.close()
    status = app.proc.wait(app.platform.close_timeout)  # TimeoutExpired if it hangs
    assert status == 0, f"exit status {status} after the close"
    assert app.output() == ("", "")


def test_unknown_arguments(display, platform):
    """Arguments the program does not know change nothing: same window, picture and close."""
    app = App(display, platform, ["--frobnicate", "extra", "words"])
    try:
        app.wait_window()
        test_window(app)
        test_polite_close(app)
    finally:
        app.kill()


if __name__ == "__main__":
    sys.exit(main(__file__, sys.argv))
