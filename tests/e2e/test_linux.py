"""End-to-end checks of the native program: python3 test_linux.py PROGRAM [PYTEST OPTIONS]"""

import re
import subprocess
import sys

import harness
from checks import *  # noqa: F401,F403 (the shared checks, collected here)


def test_visual(app):
    """The window's visual is double-buffered RGBA with a depth buffer, as GLX describes it."""
    visual = app.window.get_attributes().visual
    text = subprocess.run(["glxinfo", "-v"], env=app.xvfb.env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout.decode()
    block = re.search(r"^Visual ID: %x .*?(?=^\S|\Z)" % visual, text, re.M | re.S)
    assert block, f"glxinfo lists no visual {visual:#x}"
    attributes = dict(re.findall(r"(\w+)=(\w+)", block.group(0)))
    assert attributes.get("doubleBuffer") == "1", "not double-buffered"
    assert attributes.get("renderType") == "rgba", "not RGBA"
    assert int(attributes.get("depthSize", 0)) > 0, "no depth buffer"


if __name__ == "__main__":
    sys.exit(harness.main(__file__, sys.argv))
