#!/usr/bin/env bash
# Usage: tests/breakages.sh [NAME-PATTERN]
# Breaks the program in each way a test has caught before, one at a time, in a copy of the
# sources in build/breakages, and runs the test that must catch it. Prints "caught" or "MISSED"
# for each and fails if any was missed. Run scripts/test once first (for the packages). About
# three minutes.
#   NAME-PATTERN  only the breakages whose names contain it, e.g. aspect
#   -h, --help    print this and exit
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
case ${1-} in
    -h | --help) usage; exit ;;
    -*) usage_error "unknown option: $1" ;;
esac
work=$PWD/build/breakages
mkdir -p "$work"

# name | file | perl substitution (on the whole file) | test: render, e2e, soak or sanitize
table='
integer aspect|scene|s/static_cast<double>\(width\) \/ height/width \/ height/|render
aspect width over width|scene|s/static_cast<double>\(width\) \/ height/static_cast<double>(width) \/ width/|render
aspect fixed at 1|scene|s/const float aspect = [^;]*;/const float aspect = 1.0f;/|e2e
no height guard|scene|s/height = 1;/;/|render
colour after the vertices|scene|s/(    glColor3f[^\n]*\n)(.*?glEnd\(\);\n)/$2$1/s|render
angle not wrapped|scene|s/std::fmod\(spinAngle \+ 1.0f, 360.0f\)/spinAngle + 1.0f/|render
angle not advanced|scene|s/spinAngle = std::fmod[^;]*;//|render
angle advanced before drawing|scene|s/(    glRotatef[^\n]*\n)(.*)(    spinAngle = [^\n]*\n)/$3$1$2/s|render
camera in the model-view matrix|scene|s/(    gluLookAt[^\n]*\n)(    glMatrixMode\(GL_MODELVIEW\);\n)/$2$1/|render
turning about the x axis|scene|s/glRotatef\(spinAngle, 0.0f, 1.0f/glRotatef(spinAngle, 1.0f, 0.0f/|render
back faces culled|scene|s/(void drawFrame\(\)\n\{\n)/$1    glEnable(GL_CULL_FACE);\n/|render
field of view 60|scene|s/gluPerspective\(45.0/gluPerspective(60.0/|render
eye 6 units away|scene|s/gluLookAt\(0.0, 0.0, 5.0/gluLookAt(0.0, 0.0, 6.0/|render
square viewport|scene|s/glViewport\(0, 0, width, height\)/glViewport(0, 0, height, height)/|render
no viewport|scene|s/    glViewport[^\n]*\n//|e2e
projection not reset|scene|s/(GL_PROJECTION\);\n)    glLoadIdentity\(\);\n/$1/|soak
4 KB leaked a frame|scene|s/(void drawFrame\(\)\n\{\n)/$1    { char* bytes = new char[4096]; for (int i = 0; i < 4096; i += 64) bytes[i] = 1; }\n/|soak
a leak|scene|s/(void drawFrame\(\)\n\{\n)/$1    static_cast<volatile char*>(new char[64])[0] = 1;\n/|sanitize
an overflowing write|scene|s/(void drawFrame\(\)\n\{\n)/$1    volatile int at = 3; int few[3]; few[at] = 1; (void)few;\n/|sanitize
a signed overflow|scene|s/(void drawFrame\(\)\n\{\n)/$1    volatile int big = 2147483647; big = big + 1;\n/|sanitize
Green and Blue values swapped|menu|s/case green:/case 99:/; s/case blue:/case green:/; s/case 99:/case blue:/|render
Blue and Green entries swapped|menu|s/"Blue", blue/"Blue", green/; s/"Green", green/"Green", blue/|e2e
"RGB Menu" renamed|menu|s/"RGB Menu"/"Colours"/|e2e
"White" renamed|menu|s/"White"/"Plain"/|e2e
submenu entries in another order|menu|s/(    glutAddMenuEntry\("Red"[^\n]*\n)(    glutAddMenuEntry\("Blue"[^\n]*\n)/$2$1/|e2e
menu on the left button|menu|s/GLUT_RIGHT_BUTTON/GLUT_LEFT_BUTTON/|e2e
no idle callback|main|s/    glutIdleFunc[^\n]*\n//|e2e
single-buffered|main|s/GLUT_DOUBLE/GLUT_SINGLE/|e2e
no depth buffer|main|s/ \x7c GLUT_DEPTH//|e2e
another title|main|s/"Whirlet\@Brackenholme"/"Whirlet"/|e2e
another place|main|s/glutInitWindowPosition\(100, 100\)/glutInitWindowPosition(120, 100)/|e2e
back faces culled from the start|main|s/(glutCreateWindow[^\n]*\n)/$1    glEnable(GL_CULL_FACE);\n/|e2e
printing|main|s/(glutMainLoop)/__builtin_printf("hello\\n");\n    $1/|e2e
a key that quits|main|s/(glutMainLoop)/glutKeyboardFunc([](unsigned char, int, int) { __builtin_exit(0); });\n    $1/|e2e
a key that sets the colour|main|s/(glutMainLoop)/glutKeyboardFunc([](unsigned char, int, int) { menuChoice(1); });\n    $1/|soak
exit status 3 at close|main|s/(glutMainLoop)/atexit([] { _Exit(3); });\n    $1/; s/^/#include <cstdlib>\n/|e2e
a close that hangs|main|s/(glutMainLoop)/atexit([] { for (;;) {} });\n    $1/; s/^/#include <cstdlib>\n/|e2e
stops on unknown arguments|main|s/(glutInit\(&argc, argv\);\n)/$1    if (argc > 1) return 2;\n/|e2e
'

# Builds the copy in a folder, once configured; only what a breakage changed recompiles.
build() {  # $work/plain or $work/sanitize (with sanitizers)
    [ -f "$1/CMakeCache.txt" ] || cmake -S "$work/tree" -B "$1" -DCMAKE_BUILD_TYPE=Debug \
        -DWHIRLET_SANITIZE="$([ "$1" = "$work/sanitize" ] && echo ON || echo OFF)" >/dev/null
    cmake --build "$1" --parallel >"$1.log" 2>&1 || { cat "$1.log"; return 1; }
}
# The build a kind of test runs on: the one with sanitizers for theirs.
folder() {  # render|sanitize|e2e|soak
    [ "$1" = sanitize ] && echo "$work/sanitize" || echo "$work/plain"
}
# Runs one kind of test on its build; its status is the test's.
check() {  # render|sanitize|e2e|soak
    local dir run
    dir=$(folder "$1")
    case $1 in
        render | sanitize) run=(ctest --test-dir "$dir" -R '^render$') ;;
        e2e) run=(python3 tests/e2e/test_linux.py "$dir/whirlet" -x) ;;
        soak) run=(python3 tests/e2e/test_soak.py "$dir/whirlet" -x) ;;
    esac
    xvfb-run -a -s '-screen 0 1280x1024x24' "${run[@]}" >"$work/last.log" 2>&1
}
# Puts back the sources a breakage changed, newer than what was built from the broken ones.
restore() {
    local each
    for each in src/*; do cmp -s "$each" "$work/tree/$each" || cp "$each" "$work/tree/$each"; done
}
rm -rf "$work/tree"
git ls-files | grep -v '^\(build\|docs\)/' | tar -cT - | tar -x -m -C "$work" --transform 's|^|tree/|'
# A breakage counts as caught only where the program as it is passes the same test.
build "$work/plain" && build "$work/sanitize" || exit 1
for test in render sanitize e2e soak; do
    check "$test" || {
        echo "The program as it is fails $test:"
        cat "$work/last.log"
        exit 1
    }
done
missed=0
while IFS='|' read -r name file edit test; do
    [ -n "$name" ] && [[ $name == *${1:-}* ]] || continue
    restore
    perl -0pi -e "$edit" "$work/tree/src/$file.cpp"
    if cmp -s "src/$file.cpp" "$work/tree/src/$file.cpp"; then
        echo "NOT APPLIED: $name"; missed=$((missed + 1)); continue
    fi
    build "$(folder "$test")" || { echo "NO BUILD: $name"; missed=$((missed + 1)); continue; }
    if check "$test"; then
        echo "MISSED: $name ($test)"; missed=$((missed + 1))
    else
        echo "caught: $name ($test)"
    fi
done <<<"$table"
restore
[ "$missed" -eq 0 ]
