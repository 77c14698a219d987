"""End-to-end test of the Windows build under Wine: python3 test_windows.py PATH/TO/whirlet.exe

Runs the same checks as the native build in a fresh Wine prefix (by default next to the .exe;
WHIRLET_WINEPREFIX overrides), on a private virtual display. The prefix is 32-bit; for a 64-bit
build, WINEARCH=win64 with WINELOADER and WINESERVER naming 64-bit Wine's.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

# With no window manager Wine maps only the client area: the asked-for (100,100) moves by its
# 4 px frame and 23 px caption. The toolkit's menus are plain top-level windows there, with
# 16 px entries, and Wine waits about 2 s for a window manager whenever it hides a window.
PROFILE = harness.Profile(
    name="wine",
    origin=(104, 123),
    menu_entry_height=16,
    menu_override_redirect=False,
    menu_title="freeglut menu",
    menu_open_timeout=8.0,
    menu_close_timeout=10.0,
    close_keys="alt+F4",
    close_timeout=10.0,
    startup_timeout=60.0,
    change_timeout=8.0,
)

WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no questions about .NET or Gecko
}
# Wine's own variables choose another loader, server or prefix kind (say, for a 64-bit build).
WINEARCH = os.environ.get("WINEARCH", "win32")
WINE = os.environ.get("WINELOADER", "wine")
WINESERVER = os.environ.get("WINESERVER", "wineserver")


class WinePrefix:
    """A fresh prefix (32-bit unless WINEARCH says otherwise) with the program's DISPLAY set."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.env = None

    def _run(self, args, timeout=180):
        done = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        if done.returncode != 0:
            raise harness.CheckFailed(f"{' '.join(args)} failed ({done.returncode}): "
                                      f"{done.stdout.decode(errors='replace')[-500:]}")

    def start(self, xvfb):
        shutil.rmtree(self.path, ignore_errors=True)
        self.env = dict(xvfb.env, WINEPREFIX=self.path, WINEARCH=WINEARCH, **WINE_ENV)
        self._run([WINE, "wineboot", "--init"])
        # The toolkit takes a DISPLAY it finds in its environment for a display name and warns
        # that it cannot use it; a Windows-side value of its own keeps it quiet.
        self._run([WINE, "reg", "add", r"HKCU\Environment", "/v", "DISPLAY", "/t", "REG_SZ",
                   "/d", "DISPLAY", "/f"])
        self._run([WINESERVER, "-w"])
        # Kept up until stop(), so later runs skip Wine's start-up.
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)

    def launch(self, xvfb, command, profile):
        if self.env is None:
            self.start(xvfb)
        return harness.App(xvfb, [WINE, *command], profile, env=self.env)

    def stop(self):
        if self.env is not None:
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60)
            self.env = None


def main():
    if len(sys.argv) < 2:
        print(f"usage: {sys.argv[0]} PATH/TO/whirlet.exe [ARGS...]", file=sys.stderr)
        return 2
    exe = os.path.abspath(sys.argv[1])
    prefix = WinePrefix(os.environ.get("WHIRLET_WINEPREFIX")
                        or os.path.join(os.path.dirname(exe), "wineprefix"))
    try:
        return harness.main(PROFILE, [sys.argv[0], exe, *sys.argv[2:]], launch=prefix.launch)
    finally:
        prefix.stop()


if __name__ == "__main__":
    sys.exit(main())
