#!/usr/bin/env bash
# Usage: tests/packaging/check.sh
# The package checks: makes dist/ with scripts/package and checks what a user gets from it: its
# files (tests/packaging, tests/windows), the zip's whirlet.exe under Wine, the same bytes from a
# fresh copy of the sources, and the .deb installed, run and purged by piuparts in fresh Debian
# 12, 13 and testing systems (from scripts/test-on's cached bare systems).
#   -h, --help  print this and exit
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/common.sh
[ $# -eq 0 ] || case $1 in -h | --help) usage; exit ;; *) usage_error "unknown option: $1" ;; esac

mkdir -p build
tmp=$(mktemp -d "$PWD/build/package-check.XXXXXX")
# piuparts ignores what changes under /tmp, where the end-to-end checks run from this copy.
checkout=$(mktemp -d /tmp/whirlet-checkout.XXXXXX)
on_exit() {
    [ $? -eq 0 ] || echo "Package checks: FAIL (stage: ${stage_name:-setup})" >&2
    "${sudo[@]}" rm -rf "$tmp" "$checkout"  # piuparts and its hook write as root
}
trap on_exit EXIT
copy_checkout "$checkout"
mkdir "$tmp/hooks"
ln -s "$PWD/tests/packaging/install_check.sh" "$tmp/hooks/post_install_e2e"

same_bytes() {
    local copy=$tmp/again
    # The fetched upstream sources go along, to spare the downloads (freeglut is built again).
    copy_checkout "$copy"
    cp -a --parents build/windows/{freeglut,mingw-w64}/{source,version} \
        build/web/glu/{source,version} "$copy"
    logged "$tmp/again.log" "$copy/scripts/package"
    diff -r dist "$copy/dist"  # the same names, and the same bytes in each
    echo "  dist/ came out the same from $copy: $(cd dist && sha256sum -- * | tr '\n' ' ')"
}

# The zip's program, as a Windows user gets it, in a fresh folder and a fresh Wine prefix.
zip_under_wine() {
    local folder=$tmp/unzipped zipped
    zipped=$(ls dist/whirlet-*-win32.zip)
    unzip -q "$zipped" -d "$folder"
    if ! runs_32_bit "$tmp/exit0-i386"; then
        echo "  NOT RUN: this kernel runs no 32-bit programs, so no 32-bit Wine either; the zip's" \
             "32-bit whirlet.exe was checked from its files only (headers, resources, contents)."
        return 0
    fi
    need_wine32
    need_packages "${e2e_packages[@]}"
    run_under_wine i686 "$folder/$(basename "$zipped" .zip)/whirlet.exe"
}

# piuparts installs the .deb with apt-get, without Recommends, into a fresh system, runs
# install_check.sh as its post_install hook, purges, and fails on any file left or changed.
# Debian 13's apt leaves an empty tmp.ci of debconf's after any install (this package has no
# debconf templates), which Debian 12's piuparts does not know to ignore.
install_purge() {
    local release=$1 log=$tmp/piuparts-$1.log base mirror passed
    base=$(scripts/test-on --base "$release")
    mirror=${base#* } base=${base%% *}
    "${sudo[@]}" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin WHIRLET_CHECKOUT="$checkout" \
        piuparts --basetgz="$base" --distribution="$release" --mirror="$mirror" \
        --no-upgrade-test --bindmount="$checkout" --scriptsdir="$tmp/hooks" --logfile="$log" \
        --ignore=/var/cache/debconf/tmp.ci/ \
        dist/whirlet_*.deb >/dev/null ||
        { grep -v '^[0-9.ms]* DEBUG: ' "$log" | tail -n 60 >&2; return 1; }
    # piuparts passes without a hook as well: the checks' own summary says that they ran.
    passed=$(grep -o '[0-9]* passed in .*s' "$log") ||
        { echo "The end-to-end checks did not run in the fresh $release" >&2; return 1; }
    echo "  $release: $passed; $(grep -o -m1 'PASS: .*' "$log");" \
         "AppStream: $(grep -o -m1 'Identifier: .*' "$log")"
}

# One date for both runs of scripts/package, the second in a copy of the sources.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
echo "Package checks"
stage "install tools" need_packages lintian desktop-file-utils appstream man-db unzip \
    python3-pytest python3-pil piuparts
stage "scripts/package" scripts/package
# Debian's pytest runs under Debian's python3, whatever python3 comes first on the PATH.
stage "dist/ as files" /usr/bin/python3 -m pytest -q tests/packaging
stage "the zip's whirlet.exe" env WHIRLET_EXE="$(ls dist/whirlet-*-win32.zip)" \
    /usr/bin/python3 -m pytest -q tests/windows
stage "zip under Wine" zip_under_wine
stage "scripts/package again, same bytes" same_bytes
for release in bookworm trixie forky; do
    stage "fresh $release: install, run, purge" install_purge "$release"
done
echo "Package checks: PASS"
