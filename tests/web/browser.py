"""Headless Chromium driven through its DevTools protocol, and the page's frames read back.

The protocol runs over the pipe that --remote-debugging-pipe opens (file descriptors 3 and 4 of
the browser), so no port is opened and only the standard library is needed."""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

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
  probe.grab = (frame) => new Promise((resolve, reject) => {
    if (frame <= probe.frames) reject(new Error(`frame ${frame} is already past`));
    else probe.wanted.set(frame, resolve);
  });
})();
"""


class BrowserError(AssertionError):
    pass


class Chromium:
    """One headless browser with a private profile; pages are opened with new_page()."""

    def __init__(self, executable=None, size=(1024, 768)):
        self.executable = executable or shutil.which("chromium") or "chromium"
        self.profile = tempfile.mkdtemp(prefix="whirlet-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Held at high numbers so that moving them to 3 and 4 in the child cannot clobber them.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser_r, from_browser_w)]
        args = [self.executable, "--headless=new", "--remote-debugging-pipe",
                f"--user-data-dir={self.profile}", f"--window-size={size[0]},{size[1]}",
                # WebGL in software: there is no GPU here.
                "--enable-unsafe-swiftshader", "--use-angle=swiftshader",
                # Nothing but the page: the network outside is closed.
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-default-apps", "--mute-audio", "--hide-scrollbars",
                "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium's sandbox refuses to run as root
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log, close_fds=False,
            preexec_fn=lambda: (os.dup2(ends[0], 3), os.dup2(ends[1], 4)))
        for fd in ends + [to_browser_r, from_browser_w]:
            os.close(fd)
        self._next_id = 0
        self._replies = {}
        self.events = []  # (session id, method, params), in order of arrival
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        buffer = b""
        while True:
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                break
            buffer += chunk
            *messages, buffer = buffer.split(b"\0")
            with self._cond:
                for raw in messages:
                    message = json.loads(raw)
                    if "id" in message:
                        self._replies[message["id"]] = message
                    else:
                        self.events.append((message.get("sessionId"), message["method"],
                                            message.get("params", {})))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def send(self, method, params=None, session=None, timeout=30):
        """Sends one command and returns its result; a protocol error raises BrowserError."""
        with self._cond:
            self._next_id += 1
            ident = self._next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        with self._cond:
            if not self._cond.wait_for(lambda: ident in self._replies or not self.alive(),
                                       timeout):
                raise BrowserError(f"{method}: no answer in {timeout} s")
            if ident not in self._replies:
                raise BrowserError(f"{method}: the browser is gone; it said: {self.output()}")
            reply = self._replies.pop(ident)
        if "error" in reply:
            raise BrowserError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})

    def wait_event(self, method, session, timeout=30, since=0):
        """The params of the first event `method` of `session` at or after index `since`."""
        def find():
            for sid, name, params in self.events[since:]:
                if sid == session and name == method:
                    return params
            return None
        with self._cond:
            found = self._cond.wait_for(find, timeout)
        if found is None:
            raise BrowserError(f"no {method} in {timeout} s")
        return found

    def alive(self):
        return self.proc.poll() is None

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def new_page(self):
        return Page(self)

    def close(self):
        if self.alive():
            try:
                self.send("Browser.close", timeout=5)
                self.proc.wait(10)
            except (BrowserError, subprocess.TimeoutExpired, OSError):
                self.proc.kill()
                self.proc.wait()
        os.close(self._to_browser)
        self._reader.join(5)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    """One tab, with the probe installed before any page script runs."""

    def __init__(self, browser: Chromium):
        self.browser = browser
        self.target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.send("Target.attachToTarget",
                                    {"targetId": self.target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.send(f"{domain}.enable")
        self.send("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE})

    def send(self, method, params=None, timeout=30):
        return self.browser.send(method, params, self.session, timeout)

    def open(self, url, timeout=30):
        """Loads url and waits for the program's first frame."""
        since = len(self.browser.events)
        self.send("Page.navigate", {"url": url})
        self.browser.wait_event("Page.loadEventFired", self.session, timeout, since)
        self.wait_for("window.__probe.first !== null", timeout, "the program's first frame")

    def evaluate(self, expression, timeout=30):
        """The value of a JavaScript expression in the page; promises are awaited."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(f"{expression}: {text}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10, what=None):
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"timed out after {timeout} s waiting for {what or expression}")
            time.sleep(0.05)

    # -- frames

    def frames(self):
        return self.evaluate("window.__probe.frames")

    def first_frame(self):
        return Frame(self.evaluate("window.__probe.first"))

    def frame(self, ahead=2, timeout=10):
        """A frame drawn from now on: the one `ahead` frames after the last one drawn."""
        return self.frame_number(self.frames() + ahead, timeout)

    def frame_number(self, number, timeout=10):
        """Frame `number` of the page (the first is 1), once drawn; it must lie ahead."""
        return Frame(self.evaluate(
            f"Promise.race([window.__probe.grab({number}), new Promise((_, fail) => setTimeout("
            f"() => fail(new Error('no animation frame {number} in {timeout} s')), "
            f"{timeout * 1000}))])", timeout + 5))

    # -- input, in CSS pixels of the viewport

    def mouse(self, kind, x, y, button="none", buttons=0):
        self.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": button,
                                               "buttons": buttons, "clickCount": 1})

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
            params = {"type": kind, "key": key, "code": code, "windowsVirtualKeyCode": keycode}
            if text and kind == "keyDown":
                params["text"] = text
            self.send("Input.dispatchKeyEvent", params)

    # -- what the page said

    def console(self):
        """Everything the page printed or reported: (source, level, text)."""
        found = []
        for sid, method, params in list(self.browser.events):
            if sid != self.session:
                continue
            if method == "Runtime.consoleAPICalled":
                text = " ".join(str(arg.get("value", arg.get("description", "")))
                                for arg in params.get("args", []))
                found.append(("console", params.get("type"), text))
            elif method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                found.append(("exception", "error",
                              details.get("exception", {}).get("description")
                              or details.get("text")))
            elif method == "Log.entryAdded":
                entry = params["entry"]
                found.append((entry.get("source"), entry.get("level"), entry.get("text")))
        return found

    def close(self):
        try:
            self.browser.send("Target.closeTarget", {"targetId": self.target}, timeout=5)
        except BrowserError:
            pass


class Frame:
    """One frame of the canvas as RGB rows, top to bottom, with what its lit pixels look like."""

    def __init__(self, grabbed):
        if not grabbed:
            raise BrowserError("no frame was read: the canvas has no GL context")
        self.number = grabbed["frame"]
        self.width, self.height = grabbed["width"], grabbed["height"]
        rgba = base64.b64decode(grabbed["rgba"])
        stride = self.width * 4
        # GL reads rows bottom to top.
        self.rows = [rgba[(self.height - 1 - y) * stride:(self.height - y) * stride]
                     for y in range(self.height)]
        self._summarise()

    def _summarise(self, threshold=40):
        self.spans = {}  # row -> (first, last, count) of its lit pixels
        self.colours = {}  # lit colour -> pixel count: one entry for a flat triangle
        for y, row in enumerate(self.rows):
            xs = [x for x in range(self.width)
                  if max(row[4 * x], row[4 * x + 1], row[4 * x + 2]) > threshold]
            if not xs:
                continue
            self.spans[y] = (xs[0], xs[-1], len(xs))
            for x in xs:
                rgb = bytes(row[4 * x:4 * x + 3])
                self.colours[rgb] = self.colours.get(rgb, 0) + 1
        self.count = sum(span[2] for span in self.spans.values())
        self.bbox = None
        self.apex_x = None
        if self.spans:
            top = min(self.spans)
            self.bbox = (min(s[0] for s in self.spans.values()), top,
                         max(s[1] for s in self.spans.values()), max(self.spans))
            self.apex_x = (self.spans[top][0] + self.spans[top][1]) / 2

    @property
    def colour(self):
        """The one colour of every lit pixel, or None."""
        return next(iter(self.colours)) if len(self.colours) == 1 else None

    def __repr__(self):
        return (f"<frame {self.number} {self.width}x{self.height}: {self.count} lit in "
                f"{self.bbox}, colours {dict(list(self.colours.items())[:4])}>")
