#!/usr/bin/env bash
# Usage: tests/windows/binary_check.sh BUILD_DIR [i686|x86_64]
# Checks the cross-built whirlet.exe in BUILD_DIR (32-bit unless told x86_64): a console program
# that needs only Windows' own DLLs, whose objects keep freeglut's route to the C runtime's exit.
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [i686|x86_64]}
arch=${2:-i686}
exe=$build/whirlet.exe
# The PE headers as binutils reads them: its target name and the optional header's numbers, not a
# tool's prose, which changes between releases.
case $arch in
    i686) format=pei-i386 magic=010b ;;     # PE32
    x86_64) format=pei-x86-64 magic=020b ;; # PE32+
    *) echo "unknown architecture: $arch" >&2; exit 2 ;;
esac
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

[ -f "$exe" ] || { echo "FAIL: no $exe"; exit 1; }

objdump=$arch-w64-mingw32-objdump
headers=$("$objdump" -p "$exe")
"$objdump" -f "$exe" | grep -q "file format $format\$" || fail "whirlet.exe is not $format"
grep -qE "^Magic[[:space:]]+$magic([[:space:]]|\$)" <<<"$headers" || fail "optional header magic is not $magic"
# 3 is the Windows character (console) subsystem; a GUI program (2) would get no console.
grep -qE '^Subsystem[[:space:]]+0*3[[:space:]]' <<<"$headers" ||
    fail "not a console program: $(grep -m1 '^Subsystem' <<<"$headers")"

# Anything not shipped with Windows (libstdc++-6, libgcc_s_*, libwinpthread-1, freeglut, glut32)
# would have to sit beside the .exe.
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
windows_own='^(kernel32|user32|gdi32|advapi32|shell32|opengl32|glu32|winmm|msvcrt|ole32|oleaut32|comdlg32|winspool\.drv)(\.dll)?$'
for dll in "${dlls[@]}"; do
    [[ ${dll,,} =~ $windows_own ]] || fail "imports $dll, which Windows does not provide"
done
[[ " ${dlls[*],,} " == *" opengl32.dll "* ]] || fail "no OPENGL32.dll among the imports: ${dlls[*]:-none}"

# freeglut's header routes these through *WithExit so the toolkit exits via the program's own C
# runtime; an object built without that route would call the plain entry points.
needs_symbols() {
    local source=$1 object symbol
    shift
    object=$(find "$build" -path "*/$source.obj" -print -quit)
    [ -n "$object" ] || { fail "no object for $source under $build"; return; }
    local undefined
    undefined=$("$arch-w64-mingw32-nm" --undefined-only "$object")
    for symbol in "$@"; do
        grep -qE "[[:space:]]_*${symbol}(@[0-9]+)?$" <<<"$undefined" ||
            fail "$(basename "$object") does not reference $symbol"
    done
}
needs_symbols src/main.cpp __glutInitWithExit __glutCreateWindowWithExit
needs_symbols src/menu.cpp __glutCreateMenuWithExit

if [ "$failures" -ne 0 ]; then
    echo "whirlet.exe binary check ($arch): $failures failure(s)"
    exit 1
fi
echo "whirlet.exe binary check ($arch): PASS (imports ${dlls[*]})"
