"""whirlet.exe as Windows reads it (through pefile): built for its machine, with no link date, a
console program that needs only Windows' own DLLs and carries the project's version and its icon.
WHIRLET_EXE names it, or the zip holding it (in the folder named as the zip); WHIRLET_ARCH=x86_64
for a 64-bit build; WHIRLET_BUILD, the folder it was built in, adds the check of the program's
objects."""

import os
import re
import struct
import subprocess
import zipfile
from pathlib import Path

import pefile
import pytest

ROOT = Path(__file__).resolve().parents[2]
VERSION = re.search(r"project\(Whirlet VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]
ARCH = os.environ.get("WHIRLET_ARCH", "i686")
BUILD = os.environ.get("WHIRLET_BUILD")
# Anything else (libstdc++-6, libgcc_s_*, libwinpthread-1, glut32, freeglut) would have to sit
# beside the .exe.
WINDOWS_OWN = {"kernel32", "user32", "gdi32", "advapi32", "shell32", "opengl32", "glu32", "winmm",
               "msvcrt", "ole32", "oleaut32", "comdlg32"}


@pytest.fixture(scope="module")
def pe():
    path = Path(os.environ.get("WHIRLET_EXE") or pytest.fail("WHIRLET_EXE names no whirlet.exe"))
    if path.suffix == ".zip":
        with zipfile.ZipFile(path) as archive:
            return pefile.PE(data=archive.read(f"{path.stem}/whirlet.exe"))
    return pefile.PE(str(path))


def resources(pe, kind):
    """{id: data} of the resources of one type, each in its first language."""
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id == pefile.RESOURCE_TYPE[kind]:
            return {name.id: pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                    for name in entry.directory.entries for lang in name.directory.entries[:1]}
    return {}


def test_machine_no_link_date_and_console(pe):
    machine, magic = {"i686": ("I386", pefile.OPTIONAL_HEADER_MAGIC_PE),
                      "x86_64": ("AMD64", pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)}[ARCH]
    assert pefile.MACHINE_TYPE[pe.FILE_HEADER.Machine] == "IMAGE_FILE_MACHINE_" + machine
    assert pe.OPTIONAL_HEADER.Magic == magic
    assert pe.FILE_HEADER.TimeDateStamp == 0  # the same sources give the same bytes
    # A GUI program (IMAGE_SUBSYSTEM_WINDOWS_GUI) would get no console.
    assert pefile.SUBSYSTEM_TYPE[pe.OPTIONAL_HEADER.Subsystem] == "IMAGE_SUBSYSTEM_WINDOWS_CUI"


def test_imports_only_windows_own_dlls(pe):
    dlls = {entry.dll.decode().lower().removesuffix(".dll")
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    assert "opengl32" in dlls
    assert dlls <= WINDOWS_OWN, f"not Windows' own: {dlls - WINDOWS_OWN}"


def test_version_resource_has_the_projects_version(pe):
    assert hasattr(pe, "VS_FIXEDFILEINFO"), "no version resource"
    fixed = pe.VS_FIXEDFILEINFO[0]
    parts = [int(part) for part in VERSION.split(".")] + [0, 0, 0]  # as 4 numbers
    expected = (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == expected
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == expected
    strings = {key.decode(): value.decode()
               for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for key, value in table.entries.items()}
    assert {key: strings.get(key) for key in ("FileVersion", "ProductVersion", "ProductName")} \
        == {"FileVersion": VERSION, "ProductVersion": VERSION, "ProductName": "Whirlet"}


def test_icon_is_whirlet_ico_at_every_size(pe):
    """Explorer shows the lowest-numbered icon group: each of its entries names an icon
    resource, which must be that size's image from windows/whirlet.ico."""
    groups, icons = resources(pe, "RT_GROUP_ICON"), resources(pe, "RT_ICON")
    assert groups, "no icon group"
    group = groups[min(groups)]
    shown = {}
    for at in range(6, 6 + 14 * struct.unpack_from("<H", group, 4)[0], 14):
        width, _, _, _, _, _, size, icon = struct.unpack_from("<BBBBHHIH", group, at)
        assert len(icons.get(icon, b"")) == size, f"icon {icon}"
        shown[width or 256] = icons[icon]
    ico = (ROOT / "windows" / "whirlet.ico").read_bytes()
    images = {}
    for at in range(6, 6 + 16 * struct.unpack_from("<H", ico, 4)[0], 16):
        width, _, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", ico, at)
        images[width or 256] = ico[offset:offset + size]
    assert sorted(shown) == [16, 24, 32, 48, 64, 256]
    assert shown == images


@pytest.mark.skipif(not BUILD, reason="WHIRLET_BUILD names no build folder")
def test_objects_route_the_toolkit_to_the_programs_exit():
    """freeglut's header routes these calls through *WithExit so that the toolkit exits through
    the program's own C runtime; an object built without that route calls the plain ones."""
    for source, symbols in {"main.cpp": ["__glutInitWithExit", "__glutCreateWindowWithExit"],
                            "menu.cpp": ["__glutCreateMenuWithExit"]}.items():
        objects = sorted(Path(BUILD).rglob(f"src/{source}.obj"))
        assert len(objects) == 1, f"one object for {source} under {BUILD}: {objects}"
        undefined = subprocess.run([f"{ARCH}-w64-mingw32-nm", "--undefined-only", objects[0]],
                                   check=True, capture_output=True, text=True).stdout
        for symbol in symbols:
            assert re.search(rf"\s_*{symbol}(@\d+)?$", undefined, re.M), f"{source}: {symbol}"
