"""test_linux.py's checks of the Windows program, under Wine:
    python3 test_windows.py PATH/TO/whirlet.exe [PYTEST OPTIONS]

In a fresh Wine prefix (next to the .exe unless WHIRLET_WINEPREFIX names another), on $DISPLAY
(or an Xvfb of their own) with openbox, which they start there: without a window manager, Wine 10
leaves hidden windows on the screen and keeps a resized window's picture at its old size. The
prefix is 32-bit; for a 64-bit build, set WINEARCH=win64 with WINELOADER and WINESERVER naming
64-bit Wine's (/usr/lib/wine/wine64 and wineserver64 on Debian).
"""

import os
import re
import shutil
import subprocess
import sys

import harness  # first: it restarts under Debian's python3 when another one runs this
from test_linux import *  # noqa: F401,F403 (the checks, collected here)


def wine_tool(variable, name, *places):
    """Wine's own variable names it, else PATH, else where Debian's wine32 and wine64 keep it."""
    return (os.environ.get(variable) or shutil.which(name)
            or next((place for place in places if os.access(place, os.X_OK)), name))


WINE = wine_tool("WINELOADER", "wine", "/usr/lib/wine/wine", "/usr/lib/wine/wine64")
WINESERVER = wine_tool("WINESERVER", "wineserver", "/usr/lib/wine/wineserver32",
                       "/usr/lib/wine/wineserver64")


class Platform(harness.Native):
    """The program under Wine (conftest.py's platform fixture picks this up)."""
    startup_timeout, change_timeout, frame_timeout, close_timeout = 60.0, 8.0, 30.0, 10.0

    def __init__(self, program):
        super().__init__(program)
        self.prefix = os.path.abspath(os.environ.get("WHIRLET_WINEPREFIX")
                                      or os.path.join(os.path.dirname(self.program), "wineprefix"))
        self.launcher, self.window_manager = [WINE], None

    def _run(self, *args):
        done = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, timeout=180,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        assert done.returncode == 0, f"{' '.join(args)} failed: {done.stdout[-500:]!r}"
        return done.stdout.decode(errors="replace")

    def prepare(self, display):
        self.window_manager = display.start_window_manager()
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEARCH=os.environ.get("WINEARCH", "win32"),
                        WINEDLLOVERRIDES="mscoree,mshtml=")  # no questions about .NET or Gecko
        self._run(WINE, "wineboot", "--init")
        # The toolkit takes a DISPLAY it finds in its environment for a display name and warns
        # that it cannot use it; a Windows-side value of its own keeps it quiet.
        self._run(WINE, "reg", "add", r"HKCU\Environment", "/v", "DISPLAY", "/t", "REG_SZ",
                  "/d", "DISPLAY", "/f")
        # Windows puts a framed window's drawing area inside its sizing frame (the border plus a
        # 3 px frame) and under its caption (plus a 1 px line): from this Wine's own metrics.
        metrics = dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s+(\S+)", self._run(
            WINE, "reg", "query", r"HKCU\Control Panel\Desktop\WindowMetrics"), re.M))
        frame = int(metrics["BorderWidth"]) + 3
        self.origin = (100 + frame, 100 + frame + int(metrics["CaptionHeight"]) + 1)
        # Kept up until finish(), so each run skips Wine's start-up.
        self._run(WINESERVER, "-w")
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def finish(self):
        if self.env is not None:
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60)
        if self.window_manager is not None:
            self.window_manager.terminate()
            self.window_manager.wait(10)

    def client_origin(self, app):
        return self.origin


if __name__ == "__main__":
    sys.exit(harness.main(__file__, sys.argv))
