"""The program in a real headless Chromium, looked at and used as a person would.

Frames are read back right after the page drew them and compared with where the camera must put
the triangle (geometry.py, shared with the desktop tests). Frame n of the page (the first is 1)
shows the triangle turned by n - 1 degrees: one degree per frame the browser shows."""

import math
import struct

from geometry import VERTICES, project

TITLE = "Whirlet@Brackenholme"

# The menu as the desktop shows it, top to bottom: (label, submenu entries or None).
MENU = [("White", None), ("RGB Menu", ["Red", "Blue", "Green"])]

COLOURS = {"White": b"\xff\xff\xff", "Red": b"\xff\x00\x00", "Green": b"\x00\xff\x00",
           "Blue": b"\x00\x00\xff"}


# ---------------------------------------------------------------------------------------------
# What a frame must show


def expected_spans(angle, width, height):
    """Row -> (first, last) pixel of the triangle turned by angle: the pixels whose centres the
    camera puts inside it."""
    corners = [project(v, angle, width, height) for v in VERTICES]
    spans = {}
    for y in range(height):
        centre = y + 0.5
        xs = sorted(xa + (centre - ya) * (xb - xa) / (yb - ya)
                    for (xa, ya), (xb, yb) in zip(corners, corners[1:] + corners[:1])
                    if min(ya, yb) <= centre < max(ya, yb))
        if len(xs) == 2 and math.ceil(xs[0] - 0.5) <= math.floor(xs[1] - 0.5):
            spans[y] = (math.ceil(xs[0] - 0.5), math.floor(xs[1] - 0.5))
    return spans


def assert_shows(frame, colour, tolerance=12):
    """The frame shows the flat triangle in colour, turned by one degree per frame since the
    first, where the camera puts it: every lit pixel but a few on the edges as computed."""
    angle = (frame.number - 1) % 360
    want = expected_spans(angle, frame.width, frame.height)
    wrong = 0
    for y in set(want) | set(frame.spans):
        first, last = want.get(y, (0, -1))
        got_first, got_last, count = frame.spans.get(y, (0, -1, 0))
        whole = count == got_last - got_first + 1  # a row with a gap in it is all wrong
        overlap = max(0, min(last, got_last) - max(first, got_first) + 1) if whole else 0
        wrong += last - first + 1 + count - 2 * overlap
    area = sum(last - first + 1 for first, last in want.values())
    assert wrong <= tolerance, f"{frame!r}: {wrong} pixels differ from the triangle turned " \
                               f"by {angle} degrees ({area} pixels)"
    if area > tolerance:
        assert frame.colour == COLOURS[colour], f"{frame!r}: expected {colour}"


def frame_at(page, angle):
    """The next frame that shows this angle, at least two frames from now."""
    number = page.frames() + 2
    number += (angle - (number - 1)) % 360
    return page.frame(number)


# ---------------------------------------------------------------------------------------------
# Using the page


def canvas_box(page):
    return page.evaluate("(() => { const r = document.getElementById('canvas')"
                         ".getBoundingClientRect(); return [r.left, r.top, r.width, r.height];"
                         " })()")


def menus(page):
    """The labels of the open menus, outermost first, as the page shows them."""
    return page.evaluate("[...document.querySelectorAll('[role=menu]')].map(m => "
                         "[...m.querySelectorAll('[role=menuitem]')].map(i => i.textContent))")


def entry_centre(page, menu, entry):
    return page.evaluate(
        f"(() => {{ const r = document.querySelectorAll('[role=menu]')[{menu}]"
        f".querySelectorAll('[role=menuitem]')[{entry}].getBoundingClientRect();"
        f" return [r.left + r.width / 2, r.top + r.height / 2]; }})()")


def open_menu(page, at=(30, 30)):
    left, top, _, _ = canvas_box(page)
    page.evaluate("window.addEventListener('contextmenu', e => { window.__browserMenu ="
                  " !e.defaultPrevented; }, {once: true})")
    page.click(left + at[0], top + at[1], "right")
    assert page.evaluate("window.__browserMenu") is False, "the browser's own menu opens too"
    shown = menus(page)
    assert shown == [[label for label, _ in MENU]], f"menu on the right button: {shown}"
    box = page.evaluate("(() => { const r = document.querySelector('[role=menu]')"
                        ".getBoundingClientRect(); return [r.left, r.top]; })()")
    assert abs(box[0] - left - at[0]) <= 1 and abs(box[1] - top - at[1]) <= 1, \
        f"the menu opens at the pointer, not at {box}"


def choose(page, path):
    """Opens the menu and chooses an entry by position, (i,) or (i, j) for a submenu entry."""
    open_menu(page)
    for depth, index in enumerate(path):
        page.mouse("mouseMoved", *entry_centre(page, depth, index))
    if len(path) == 2:
        labels = menus(page)
        assert labels[1:] == [MENU[path[0]][1]], f"submenu of {MENU[path[0]][0]}: {labels}"
    page.click(*entry_centre(page, len(path) - 1, path[-1]))
    assert menus(page) == [], "the menus close once an entry is chosen"


def resize(page, width, height):
    """Drags the bottom-right corner of the canvas's frame until the canvas is width x height."""
    left, top, w, h = canvas_box(page)
    corner = (left + w - 3, top + h - 3)
    page.drag(corner, (corner[0] + width - w, corner[1] + height - h))
    page.wait_for(f"(() => {{ const c = document.getElementById('canvas');"
                  f" return c.width == {width} && c.height == {height}; }})()", 20,
                  f"a {width}x{height} canvas after dragging the corner")


def projection(page):
    """The bits of the projection matrix the page's GL holds, column-major (as numbers, a
    negative zero would pass for a positive one)."""
    return page.evaluate("Array.from(new Uint32Array(Float32Array.from(GLImmediate.matrix[1])"
                         ".buffer))")


def bits(matrix):
    return list(struct.unpack("<16I", struct.pack("<16f", *matrix)))


# ---------------------------------------------------------------------------------------------
# The tests


def test_page_and_first_frame(page):
    """The title, one 320x320 canvas and one short line; the first frame is the white, unturned
    triangle where the camera puts it."""
    assert page.evaluate("document.title") == TITLE
    shown = page.evaluate("[...document.body.querySelectorAll('*')]"
                          ".filter(e => e.getClientRects().length).map(e => e.tagName)")
    assert shown == ["P", "DIV", "CANVAS"], f"elements shown on the page: {shown}"
    text = page.evaluate("document.body.innerText.trim()")
    assert "\n" not in text and 0 < len(text) <= 100, f"the page's text: {text!r}"
    assert canvas_box(page)[2:] == [320, 320]
    assert page.evaluate("(c => [c.width, c.height])(document.getElementById('canvas'))") \
        == [320, 320]

    first = page.first_frame()
    assert first.number == 1
    assert_shows(first, "White")
    assert first.count > 2000, f"the unturned triangle is nearly whole: {first!r}"


def test_turns_one_degree_per_shown_frame(page):
    """Frames picked at 45, 90 (edge-on) and 150 degrees (the back face) show just that."""
    seen = []
    for angle in (45, 90, 150):
        frame = frame_at(page, angle)
        assert_shows(frame, "White")
        seen.append(frame.count)
    assert seen[1] < 40 < min(seen[0], seen[2]), f"lit pixels at 45, 90, 150 degrees: {seen}"


def test_menu_entries_in_order_and_their_colours(page):
    """The right button opens "White" and "RGB Menu"; resting on "RGB Menu" opens "Red",
    "Blue", "Green"; each entry, chosen by position, colours the triangle."""
    for path in ((1, 0), (0,), (1, 1), (1, 2)):
        choose(page, path)
        label = MENU[path[0]][0] if len(path) == 1 else MENU[path[0]][1][path[1]]
        assert_shows(page.frame(), label)

    # The other way of choosing: press the right button, move onto an entry, release there.
    left, top, _, _ = canvas_box(page)
    page.mouse("mousePressed", left + 30, top + 30, "right", 2)
    page.mouse("mouseMoved", *entry_centre(page, 0, 0), "right", 2)
    page.mouse("mouseReleased", *entry_centre(page, 0, 0), "right", 0)
    assert menus(page) == []
    assert_shows(page.frame(), "White")


def test_other_buttons_and_keys_change_nothing(page):
    """Left and middle clicks, the wheel and keys open no menu and change neither the colour
    nor the turn; a press outside an open menu closes it and chooses nothing."""
    choose(page, (1, 0))
    left, top, w, h = canvas_box(page)
    centre = (left + w / 2, top + h / 2)
    inputs = [(f"{button} click", lambda button=button: page.click(*centre, button))
              for button in ("left", "middle")]
    inputs.append(("wheel", lambda: page.mouse("mouseWheel", *centre, deltaX=0, deltaY=120)))
    inputs += [(f"key {key}", lambda args=(key, code, keycode, text): page.key(*args))
               for key, code, keycode, text in (
                   ("w", "KeyW", 87, "w"), ("1", "Digit1", 49, "1"), ("4", "Digit4", 52, "4"),
                   (" ", "Space", 32, " "), ("Enter", "Enter", 13, "\r"),
                   ("Escape", "Escape", 27, ""), ("ArrowUp", "ArrowUp", 38, ""),
                   ("F1", "F1", 112, ""))]
    for name, give in inputs:
        give()
        assert menus(page) == [], f"a menu after the {name}"
    assert_shows(page.frame(), "Red")

    open_menu(page)
    page.click(left + w - 20, top + h - 20, "left")
    assert menus(page) == []
    assert_shows(page.frame(), "Red")
    assert canvas_box(page)[2:] == [320, 320]


def test_resize_keeps_proportions_and_the_desktop_camera(page, desktop_projection):
    """Dragging the corner resizes the canvas and the picture keeps its proportions, with more
    of the scene at the sides when wider. After each reshape the page's GL holds the desktop's
    projection and camera bit for bit: GLU's own code, multiplied out in single precision as a
    desktop GL does."""
    for size, angle in (((320, 320), 20), ((640, 320), 60), ((237, 411), 130)):
        if size != (320, 320):
            resize(page, *size)
        assert canvas_box(page)[2:] == list(size)
        web, desktop = projection(page), bits(desktop_projection(*size))
        assert web == desktop, f"at {size[0]}x{size[1]}, the page's projection matrix\n" \
            f"{[f'{b:08x}' for b in web]}\nis not the desktop's\n{[f'{b:08x}' for b in desktop]}"
        frame = frame_at(page, angle)
        assert (frame.width, frame.height) == size
        assert_shows(frame, "White")
