"""The third-party notices generator (windows/notices.cmake) on made-up linker maps:
what the link took code from is listed with its licence, what it only looked at is not, and a
file from nowhere known stops the build."""

import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "windows" / "notices.cmake"
LICENCES = {"gcc/COPYING.RUNTIME": "RUNTIME EXCEPTION TEXT", "gcc/GPL-3": "GPL 3 TEXT",
            "freeglut-3.4.0/COPYING": "FREEGLUT LICENCE",
            "mingw-w64-v10.0.0/COPYING.MinGW-w64-runtime/COPYING.MinGW-w64-runtime.txt":
                "MINGW RUNTIME LICENCE",
            "mingw-w64-v10.0.0/mingw-w64-libraries/winpthreads/COPYING": "WINPTHREADS LICENCE"}
# Where the generator is told each thing is, in the made-up tree.
PLACES = {"MAP": "whirlet.map", "OUT": "NOTICES.txt", "LINK_DIR": "own", "OWN_DIR": "own",
          "FREEGLUT_LIBRARY": "glut/lib/libglut.a", "GCC_LIB_DIR": "lib/gcc",
          "MINGW_LIB_DIR": "sysroot/lib", "FREEGLUT_SOURCE_DIR": "freeglut-3.4.0",
          "MINGW_SOURCE_DIR": "mingw-w64-v10.0.0", "GCC_EXCEPTION": "gcc/COPYING.RUNTIME",
          "GPL3": "gcc/GPL-3"}


@pytest.fixture
def tree(tmp_path):
    """Folders laid out like a cross build's, each licence a one-line stand-in."""
    for name, text in LICENCES.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text + "\n")
    for folder in ("own", "lib/gcc", "sysroot/lib", "glut/lib", "elsewhere"):
        (tmp_path / folder).mkdir(parents=True)
    return tmp_path


def notices(tree, archive_lines, loads):
    """Runs the generator on a map with these member lines and LOAD lines."""
    (tree / "whirlet.map").write_text(
        "Archive member included to satisfy reference by file (symbol)\n\n"
        + "".join(line + "\n" for line in archive_lines)
        + "\nDiscarded input sections\n\n .text  0x0 0x0 x.o\n\nLinker script and memory map\n\n"
        + "".join(f"LOAD {load}\n" for load in loads) + "LOAD dll stuff\n")
    done = subprocess.run(["cmake", *(f"-D{k}={tree / v}" for k, v in PLACES.items()),
                           "-DGCC_VERSION=12.2.0", "-P", SCRIPT], capture_output=True, text=True)
    out = tree / PLACES["OUT"]
    return done, out.read_bytes().decode() if out.exists() else None


def test_lists_what_the_link_took_code_from_with_its_licence(tree):
    done, text = notices(tree, [
        # Long names on a line of their own, short ones with the referring file beside them.
        f"{tree}/glut/lib/libglut.a(fg_init.c.obj)",
        "                              objects.a(main.cpp.obj) (glutInit)",
        f"{tree}/sysroot/lib/../lib/libmingwex.a(gdtoa.o)  libglut.a(x.o) (strtod)",
        f"{tree}/sysroot/lib/libwinpthread.a(thread.o)",
        f"{tree}/lib/gcc/libgcc.a(_divdi3.o)",
        "libwhirlet_scene.a(scene.cpp.obj)",
    ], [f"{tree}/sysroot/lib/crt2.o", f"{tree}/lib/gcc/crtbegin.o", "objects.a",
        f"{tree}/glut/lib/libglut.a", f"{tree}/sysroot/lib/libuser32.a"])
    assert done.returncode == 0, done.stderr
    assert "\n" not in text.replace("\r\n", "")  # Windows line ends throughout
    text = text.replace("\r\n", "\n")
    assert ("* freeglut 3.4.0: libglut.a\n"
            "* MinGW-w64 runtime 10.0.0: crt2.o, libmingwex.a\n"
            "* MinGW-w64 winpthreads 10.0.0: libwinpthread.a\n"
            "* GCC 12 runtime libraries: crtbegin.o, libgcc.a\n") in text
    # libuser32.a was searched but gave nothing; the program's own archives need no notice.
    assert "libuser32" not in text and "scene" not in text and "objects.a" not in text
    assert all(text.count(licence) == 1 for licence in LICENCES.values()), text


def test_leaves_out_what_gave_no_code(tree):
    done, text = notices(tree, [f"{tree}/glut/lib/libglut.a(fg_init.c.obj)"],
                         [f"{tree}/sysroot/lib/crt2.o"])
    assert done.returncode == 0, done.stderr
    assert "freeglut" in text and "MinGW-w64 runtime" in text
    assert "GCC" not in text and "GPL 3 TEXT" not in text and "winpthreads" not in text


@pytest.mark.parametrize("member, missing, message", [
    ("elsewhere/libz.a(inflate.o)", None, "libz.a went into whirlet.exe and no notice covers it"),
    ("glut/lib/libglut.a(fg_init.c.obj)", "freeglut-3.4.0/COPYING",
     "no licence text at {}/freeglut-3.4.0/COPYING")])
def test_stops_at_a_file_no_notice_covers_or_a_missing_licence(tree, member, missing, message):
    if missing:
        (tree / missing).unlink()
    done, text = notices(tree, [f"{tree}/{member}"], [f"{tree}/sysroot/lib/crt2.o"])
    assert done.returncode != 0 and text is None
    assert message.format(tree) in " ".join(done.stderr.split())
