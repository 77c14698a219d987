"""Fixtures for the web tests: the built page served on loopback, one headless Chromium for the
run, the page loaded afresh for each test, and the desktop GL's projection matrices to compare.

WHIRLET_WEB_SITE names the folder that web/run built (default: build/web/site)."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))  # geometry.py, shared with the desktop

from browser import chromium, serve  # noqa: E402

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


@pytest.fixture(scope="session")
def url(site):
    with serve(site) as address:
        yield address


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
    build = str(tmp_path_factory.mktemp("desktop"))
    for step in (["-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DWHIRLET_WERROR=ON"],
                 ["--build", build, "--target", "desktop_projection"]):
        done = subprocess.run(["cmake", *step], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    binary = os.path.join(build, "desktop_projection")

    def projection(width, height):
        done = subprocess.run([binary, f"{width}x{height}"], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 0, done.stderr
        return [float.fromhex(word) for word in done.stdout.split()]
    return projection
