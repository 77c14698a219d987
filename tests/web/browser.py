"""Headless Chromium through Selenium and Debian's chromedriver, and the page's frames read back.
The web tests' browser, and web/run's when there is no display:

    python3 tests/web/browser.py SITE SCREENSHOT.png

serves the built page from SITE, lets it draw 30 frames and saves a 540x388 screenshot."""

import base64
import contextlib
import functools
import http.server
import json
import os
import shutil
import sys
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

# Injected before the page's own scripts. Every animation-frame callback is wrapped so that the
# frames can be counted and, on request, read back right after the page drew them: later, the
# browser has shown and cleared the drawing buffer. The first frame is always kept.
PROBE = r"""
(() => {
  const raf = window.requestAnimationFrame.bind(window);
  const probe = window.__probe = {frames: 0, first: null, wanted: new Map()};
  const read = () => {
    const gl = window.Module && Module.ctx;
    if (!gl) return null;
    const width = gl.drawingBufferWidth, height = gl.drawingBufferHeight;
    const pixels = new Uint8Array(width * height * 4);
    gl.readPixels(0, 0, width, height, gl.RGBA, gl.UNSIGNED_BYTE, pixels);
    let text = '';
    for (let i = 0; i < pixels.length; i += 0x8000)
      text += String.fromCharCode.apply(null, pixels.subarray(i, i + 0x8000));
    return {frame: probe.frames, width, height, rgba: btoa(text)};
  };
  window.requestAnimationFrame = (callback) => raf((time) => {
    callback(time);
    probe.frames += 1;
    if (probe.frames === 1) probe.first = read();
    const resolve = probe.wanted.get(probe.frames);
    if (resolve) {
      probe.wanted.delete(probe.frames);
      resolve(read());
    }
  });
  probe.grab = (frame, timeout) => new Promise((resolve, reject) => {
    if (frame <= probe.frames) return reject(new Error(`frame ${frame} is already past`));
    probe.wanted.set(frame, resolve);
    setTimeout(() => reject(new Error(`no animation frame ${frame} in ${timeout} s`)),
               timeout * 1000);
  });
})();
"""


@contextlib.contextmanager
def serve(site):
    """The page in folder site, served on a free loopback port while in use: its address."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                          ".wasm": "application/wasm", ".js": "text/javascript"}

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Quiet, directory=site))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


def chromium():
    """A headless Chromium with the probe installed in its tab."""
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for arg in ("--headless=new", "--window-size=1024,768",
                # WebGL in software: there is no GPU here.
                "--enable-unsafe-swiftshader", "--use-angle=swiftshader",
                # Nothing but the page: the network outside is closed.
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-default-apps",
                "--mute-audio", "--hide-scrollbars"):
        options.add_argument(arg)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"),
                              options=options)
    driver.set_script_timeout(150)  # waits end sooner, with their own reasons
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE})
    return Page(driver)


class Page:
    """The tab: the program's page, its frames, and input in CSS pixels of the viewport."""

    def __init__(self, driver):
        self.driver = driver

    def open(self, url):
        self.driver.get(url)
        self.wait_for("window.__probe.first !== null", 30, "the program's first frame")

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page; a promise is awaited."""
        return self.driver.execute_script(f"return {expression}")

    def wait_for(self, expression, timeout, what):
        failure = json.dumps(f"timed out after {timeout} s waiting for {what}")
        return self.evaluate(
            f"new Promise((done, fail) => {{ const until = Date.now() + {timeout * 1000};"
            f" (function poll() {{ const value = {expression}; if (value) done(value);"
            f" else if (Date.now() > until) fail(new Error({failure}));"
            f" else setTimeout(poll, 20); }})(); }})")

    def frames(self):
        return self.evaluate("window.__probe.frames")

    def first_frame(self):
        return Frame(self.evaluate("window.__probe.first"))

    def frame(self, number=None):
        """Frame `number` of the page (the first is 1) once drawn, by default the next but one.
        The wait allows for a slow browser on a busy machine: five frames a second."""
        now = self.frames()
        number = number or now + 2
        timeout = 20 + (number - now) / 5
        return Frame(self.evaluate(f"window.__probe.grab({number}, {timeout})"))

    def mouse(self, kind, x, y, button="none", buttons=0, **more):
        self.driver.execute_cdp_cmd("Input.dispatchMouseEvent", {
            "type": kind, "x": x, "y": y, "button": button, "buttons": buttons, "clickCount": 1,
            **more})

    def click(self, x, y, button="left"):
        mask = {"left": 1, "right": 2, "middle": 4}[button]
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y, button, mask)
        self.mouse("mouseReleased", x, y, button, 0)

    def drag(self, start, end, steps=8):
        self.mouse("mouseMoved", *start)
        self.mouse("mousePressed", *start, "left", 1)
        for i in range(1, steps + 1):
            self.mouse("mouseMoved", start[0] + (end[0] - start[0]) * i / steps,
                       start[1] + (end[1] - start[1]) * i / steps, "left", 1)
        self.mouse("mouseReleased", *end, "left", 0)

    def key(self, key, code, keycode, text=""):
        for kind in ("keyDown", "keyUp"):
            self.driver.execute_cdp_cmd("Input.dispatchKeyEvent", {
                "type": kind, "key": key, "code": code, "windowsVirtualKeyCode": keycode,
                "text": text if kind == "keyDown" else ""})

    def console(self):
        """What the page printed or reported since the last call: (source, level, message)."""
        return [(entry["source"], entry["level"], entry["message"])
                for entry in self.driver.get_log("browser")]


class Frame:
    """One frame of the canvas: its lit pixels row by row, and their colours."""

    def __init__(self, grabbed, threshold=40):
        assert grabbed, "no frame was read: the canvas has no GL context"
        self.number, self.width, self.height = grabbed["frame"], grabbed["width"], grabbed["height"]
        rgba = base64.b64decode(grabbed["rgba"])
        self.spans = {}  # row, top first -> (first, last, count) of its lit pixels
        self.colours = {}  # lit colour -> pixel count: one entry for a flat triangle
        for y in range(self.height):
            row = rgba[(self.height - 1 - y) * self.width * 4:][:self.width * 4]  # GL: bottom up
            xs = [x for x in range(self.width) if max(row[4 * x:4 * x + 3]) > threshold]
            if xs:
                self.spans[y] = (xs[0], xs[-1], len(xs))
            for x in xs:
                self.colours[row[4 * x:4 * x + 3]] = self.colours.get(row[4 * x:4 * x + 3], 0) + 1
        self.count = sum(span[2] for span in self.spans.values())
        self.top = min(self.spans, default=None)

    @property
    def colour(self):
        """The one colour of every lit pixel, or None."""
        return next(iter(self.colours)) if len(self.colours) == 1 else None

    def __repr__(self):
        return (f"<frame {self.number} {self.width}x{self.height}: {self.count} lit, top row "
                f"{self.top}, colours {dict(list(self.colours.items())[:4])}>")


if __name__ == "__main__":
    site, screenshot = sys.argv[1:]
    with serve(site) as url:
        tab = chromium()
        try:
            tab.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 540, "height": 388, "deviceScaleFactor": 1, "mobile": False})
            tab.open(url)
            tab.frame(30)
            tab.driver.save_screenshot(screenshot)
        finally:
            tab.driver.quit()
