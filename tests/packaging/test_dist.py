"""What scripts/package leaves in dist/ (DIST=other/dist to look elsewhere), as a user's tools
see it. The zip's whirlet.exe is read by tests/windows/test_exe.py."""

import os
import re
import subprocess
import zipfile
from pathlib import Path

import pytest
from PIL import Image

ROOT = Path(__file__).resolve().parents[2]
DIST = Path(os.environ.get("DIST", ROOT / "dist"))
VERSION = re.search(r"project\(Whirlet VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]
ZIP_FILES = {"whirlet.exe", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"}
DESKTOP = "usr/share/applications/whirlet.desktop"
METAINFO = "usr/share/metainfo/org.example.Whirlet.metainfo.xml"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


ARCH = run("dpkg", "--print-architecture").strip()


def only(pattern):
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, f"expected one {pattern} in {DIST}, found {found}"
    return found[0]


@pytest.fixture(scope="module")
def deb():
    return only("*.deb")


@pytest.fixture(scope="module")
def unpacked(deb, tmp_path_factory):
    tree = tmp_path_factory.mktemp("deb")
    run("dpkg-deb", "-x", str(deb), str(tree))
    return tree


# The Debian package

def test_deb_name_and_fields(deb):
    assert deb.name == f"whirlet_{VERSION}_{ARCH}.deb"
    fields = run("dpkg-deb", "-f", str(deb), "Package", "Version", "Architecture", "Section")
    assert fields.split("\n")[:4] == ["Package: whirlet", f"Version: {VERSION}",
                                      f"Architecture: {ARCH}", "Section: graphics"]


def test_lintian_finds_no_errors_or_warnings(deb):
    done = subprocess.run(["lintian", "--fail-on", "error,warning", "--display-info", str(deb)],
                          capture_output=True, text=True)
    tags = [line for line in done.stdout.splitlines() if re.match(r"[EWI]: ", line)]
    print("\n".join(tags))
    assert done.returncode == 0, "\n".join(tags) or done.stderr


def test_depends_names_the_package_of_every_library_the_program_needs(deb, unpacked):
    """dpkg-shlibdeps' result, checked from the other end: each shared library the binary asks
    for belongs to a package that the Depends field names."""
    depends = run("dpkg-deb", "-f", str(deb), "Depends")
    named = {alternative.split()[0] for alternative in re.split(r"[,|]", depends)}
    needed = re.findall(r"NEEDED\s+(\S+)", run("objdump", "-p", str(unpacked / "usr/bin/whirlet")))
    assert any(n.startswith("libglut.so") for n in needed)
    for soname in needed:
        owners = {line.split(":")[0] for line in run("dpkg", "-S", soname).splitlines()
                  if line.endswith("/" + soname) and re.match(rf"[^:]+:({ARCH}|all):", line)}
        assert owners & named, f"{soname} comes from {owners}, none of them in Depends: {depends}"


def test_deb_holds_the_program_its_menu_entry_icons_manual_and_documents(deb, unpacked):
    files = {line.split()[-1][2:] for line in run("dpkg-deb", "-c", str(deb)).splitlines()
             if not line.startswith("d")}
    icons = {n: f"usr/share/icons/hicolor/{n}x{n}/apps/whirlet.png" for n in ICON_SIZES}
    docs = {f"usr/share/doc/whirlet/{name}"
            for name in ("README", "LICENSE", "copyright", "changelog.gz")}
    assert files == {"usr/bin/whirlet", DESKTOP, METAINFO, "usr/share/man/man1/whirlet.1.gz"} \
        | set(icons.values()) | docs
    for size, icon in icons.items():
        with Image.open(unpacked / icon) as png:
            assert (png.format, png.size) == ("PNG", (size, size)), icon
    run("desktop-file-validate", str(unpacked / DESKTOP))
    # Warnings fail, but for the missing homepage (AppStream 1.0 warns of it): the project has
    # no public address yet.
    done = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic",
                           str(unpacked / METAINFO)], capture_output=True, text=True)
    print(done.stdout)
    issues = re.findall(r"^[EW]: \S+ (\S+)", done.stdout, re.M)
    assert set(issues) <= {"url-homepage-missing"} and (done.returncode == 0 or issues), \
        done.stdout + done.stderr
    # The menu entry that software centres start: one the package holds.
    launchable = re.findall(r'<launchable type="desktop-id">(.*)</launchable>',
                            (unpacked / METAINFO).read_text())
    assert [f"usr/share/applications/{name}" for name in launchable] == [DESKTOP]
    manual = run("man", "-l", str(unpacked / "usr/share/man/man1/whirlet.1.gz"))
    assert f"Whirlet {VERSION}" in manual


def test_deb_readme_says_how_to_start_it_the_manuals_options_and_the_licence(unpacked):
    readme = (unpacked / "usr/share/doc/whirlet/README").read_text()
    options = re.findall(r"^\.BI? \\(-\w+)", (ROOT / "linux/whirlet.1.in").read_text(), re.M)
    assert options
    for text in ("\n    whirlet\n", "/usr/share/doc/whirlet/copyright", *options):
        assert text in readme
    assert "scripts/" not in readme, "the repository's README"


# The Windows zip

def test_zip_holds_the_program_its_texts_and_the_licences_of_what_is_linked_in():
    zipped = only("*-win32.zip")
    top = f"whirlet-{VERSION}-win32"
    assert zipped.name == f"{top}.zip"
    with zipfile.ZipFile(zipped) as archive:  # one folder of its own
        assert set(archive.namelist()) == {f"{top}/{name}" for name in ZIP_FILES}
        texts = {name: archive.read(f"{top}/{name}") for name in ZIP_FILES if ".txt" in name}
    for name, text in texts.items():  # with Windows line ends
        assert text.count(b"\n") > 10 and text.count(b"\n") == text.count(b"\r\n"), name
    readme = texts["README.txt"].decode()
    for text in (f"Whirlet {VERSION}", "double-click whirlet.exe", "console", "OpenGL", "Wine"):
        assert text in readme
    assert "scripts/" not in readme, "the repository's README"
    assert texts["LICENSE.txt"] == (ROOT / "LICENSE").read_bytes().replace(b"\n", b"\r\n")
    notices = texts["THIRD-PARTY-NOTICES.txt"].decode().replace("\r\n", "\n")
    listed = dict(re.findall(r"^\* ([^:]+): (.+)$", notices, re.M))
    assert [name.split()[0] for name in listed] == ["freeglut", "MinGW-w64", "GCC"]
    assert "libglut.a" in listed[next(n for n in listed if n.startswith("freeglut"))]
    for text in ("Copyright (c) 1999-2000 Pawel W. Olszta",         # freeglut
                 "statically\nlinked against the MinGW-w64 runtime",  # MinGW-w64 runtime
                 "GCC RUNTIME LIBRARY EXCEPTION\n\nVersion 3.1",     # GCC's runtime
                 "GNU GENERAL PUBLIC LICENSE\n                       Version 3"):
        assert text in notices


# The page's zip: one folder with the page's files, its licence and notices and a README for
# whoever hosts it, nothing else (the page itself is checked from any folder by web/run --test).

def test_web_zip_holds_the_page_its_readme_licence_and_notices():
    web = only("*-web.zip")
    top = f"whirlet-{VERSION}-web"
    assert web.name == f"{top}.zip"
    with zipfile.ZipFile(web) as archive:
        assert archive.namelist() == [f"{top}/{name}" for name in (
            "LICENSE", "README.txt", "THIRD-PARTY-NOTICES.txt", "icon.png", "index.html",
            "page.css", "page.js", "whirlet.js", "whirlet.wasm")]
        notices = archive.read(f"{top}/THIRD-PARTY-NOTICES.txt").decode()
        readme = archive.read(f"{top}/README.txt").decode()
    for text in ("HTTP", "application/wasm", "Content-Security-Policy", "WebGL"):
        assert text in readme
    assert "scripts/" not in readme, "the repository's README"
    assert "SGI FREE SOFTWARE LICENSE B" in notices, "GLU's notice"
    assert "Upstream-Name: emscripten" in notices, "Emscripten's notice"
