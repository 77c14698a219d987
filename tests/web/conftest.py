"""Fixtures for the web tests: the built page served on loopback, one headless Chromium for the
run, the page loaded afresh for each test, and the desktop GL's projection matrices to compare.

WHIRLET_WEB_SITE names the folder that web/run built (default: build/web/site)."""

import functools
import http.server
import os
import subprocess
import sys
import threading

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))  # geometry.py, shared with the desktop

from browser import chromium  # noqa: E402

# What the toolchain's GL emulation prints on every start, whatever the program does.
TOOLCHAIN_LINES = {
    "WARNING: using emscripten GL emulation. This is a collection of limited workarounds, "
    "do not expect it to work.",
    "WARNING: using emscripten GL immediate mode emulation. This is very limited in what it "
    "supports",
}


def is_probe_noise(entry):
    """The browser's note that the tests' own read-back of the canvas stalls its GPU work."""
    source, _, text = entry
    return source == "rendering" and "GPU stall due to ReadPixels" in text


@pytest.fixture(scope="session")
def site():
    path = os.path.abspath(os.environ.get("WHIRLET_WEB_SITE",
                                          os.path.join(ROOT, "build", "web", "site")))
    for name in ("index.html", "whirlet.js", "whirlet.wasm"):
        assert os.path.isfile(os.path.join(path, name)), f"{name} not built in {path}"
    return path


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript"}

    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def url(site):
    """The page, served on a free loopback port for the run."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(_QuietHandler, directory=site))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="session")
def browser():
    tab = chromium()
    yield tab
    tab.driver.quit()


@pytest.fixture
def page(browser, url):
    """The program's page, freshly loaded, its first frame drawn. Afterwards, whatever the test
    did, the browser's console must hold nothing but the toolchain's own lines."""
    browser.console()  # what earlier pages said
    browser.open(url)
    yield browser
    said = [entry for entry in browser.console()
            if not any(line in entry[2] for line in TOOLCHAIN_LINES) and not is_probe_noise(entry)]
    assert not said, f"the page said: {said}"


@pytest.fixture(scope="session")
def desktop_projection(tmp_path_factory):
    """The projection matrix that the desktop build's reshapeView leaves in the system's GL,
    as a function of the window size: 16 floats, column-major."""
    binary = str(tmp_path_factory.mktemp("desktop") / "desktop_projection")
    subprocess.run(["g++", "-std=c++17", "-O2", "-I", os.path.join(ROOT, "src"),
                    os.path.join(HERE, "desktop_projection.cpp"),
                    os.path.join(ROOT, "src", "scene.cpp"),
                    "-o", binary, "-lglut", "-lGLU", "-lGL", "-lEGL"], check=True)

    def projection(width, height):
        done = subprocess.run([binary, f"{width}x{height}"], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 0, done.stderr
        return [float.fromhex(word) for word in done.stdout.split()]
    return projection
