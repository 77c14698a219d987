#!/usr/bin/env bash
# The package checks: makes dist/ with scripts/package and checks what a user gets from it.
#   - the .deb and the zip as files (lintian, contents, resources): tests/packaging/*.py
#   - the zip's whirlet.exe, unzipped into a fresh folder, under Wine's end-to-end checks
#   - scripts/package again in a fresh copy of the sources: the same bytes
#   - the .deb installed with apt-get into fresh Debian 12 and 13 systems (scripts/test-on),
#     end-to-end checks on the installed program, and nothing left after a purge
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/common.sh

mkdir -p build
tmp=$(mktemp -d "$PWD/build/package-check.XXXXXX")
stage_name=setup
on_exit() {
    local status=$?
    rm -rf "$tmp"
    [ "$status" -eq 0 ] || echo "Package checks: FAIL (stage: $stage_name)" >&2
}
trap on_exit EXIT


install_tools() {
    # Debian's pytest runs under Debian's python3, whatever python3 comes first on the PATH.
    need_packages lintian desktop-file-utils icoutils man-db unzip python3-pytest
}

# Sources of the package as they are now (uncommitted changes too), without build results; the
# fetched upstream sources go along, to spare the downloads (freeglut is built again).
copy_sources() {
    local copy=$1 snapshot dir
    mkdir -p "$copy"
    snapshot=$(git stash create)
    git archive "${snapshot:-HEAD}" | tar -x -C "$copy"
    for dir in freeglut mingw-w64; do
        mkdir -p "$copy/build/windows/$dir"
        cp -a "build/windows/$dir/source" "build/windows/$dir/version" "$copy/build/windows/$dir/"
    done
}

same_bytes() {
    local copy=$tmp/again file
    copy_sources "$copy"
    (cd "$copy" && SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH scripts/package) >"$tmp/again.log" 2>&1 ||
        { cat "$tmp/again.log" >&2; return 1; }
    [ "$(ls dist)" = "$(ls "$copy/dist")" ] ||
        { echo "Different files: $(ls dist) / $(ls "$copy/dist")" >&2; return 1; }
    for file in dist/*; do
        cmp "$file" "$copy/$file" || return 1
    done
    echo "  dist/ came out the same from $copy: $(cd dist && sha256sum -- * | tr '\n' ' ')"
}

# The zip's program, as a Windows user gets it, in a fresh folder and a fresh Wine prefix.
zip_under_wine() {
    local folder=$tmp/unzipped probe=0
    unzip -q dist/whirlet-*-win32.zip -d "$folder"
    runs_32_bit "$tmp/exit0-i386" || probe=$?
    if [ "$probe" -eq 3 ]; then
        echo "  NOT RUN: this kernel runs no 32-bit programs, so no 32-bit Wine either; the zip's" \
             "32-bit whirlet.exe was checked from its files only (headers, resources, contents)."
        return 0
    fi
    [ "$probe" -eq 0 ] || return 1
    need_wine32
    need_packages "${e2e_packages[@]}"
    run_under_wine i686 "$folder/whirlet.exe"
}

# The page's zip: one folder with the page's files, its licence and notices, nothing else (the
# page itself is checked from any folder by web/run --test).
web_zip() {
    local zip folder files
    zip=$(ls dist/whirlet-*-web.zip)
    folder=$(basename "$zip" .zip)
    files=$(unzip -Z1 "$zip" | tr '\n' ' ')
    [ "$files" = "$(printf "$folder/%s " LICENSE THIRD-PARTY-NOTICES.txt icon.png index.html \
        page.css page.js whirlet.js whirlet.wasm)" ] || { echo "In $zip: $files" >&2; return 1; }
    unzip -p "$zip" "$folder/THIRD-PARTY-NOTICES.txt" | grep -q 'SGI FREE SOFTWARE LICENSE B' &&
        unzip -p "$zip" "$folder/THIRD-PARTY-NOTICES.txt" | grep -q 'Upstream-Name: emscripten' ||
        { echo "$zip: notices of GLU or Emscripten missing" >&2; return 1; }
}

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
echo "Package checks"
stage "install tools" install_tools
stage "scripts/package" scripts/package
stage "dist/ as files" /usr/bin/python3 -m pytest -q tests/packaging
stage "zip under Wine" zip_under_wine
stage "the page's zip" web_zip
stage "scripts/package again, same bytes" same_bytes
for release in bookworm trixie; do
    stage "fresh $release: install, run, purge" \
        scripts/test-on --copy dist "$release" tests/packaging/install_check.sh
done
echo "Package checks: PASS"
