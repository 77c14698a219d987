#!/usr/bin/env bash
# Usage, as root on a fresh Debian with dist/ in the checkout:
#   scripts/test-on --copy dist RELEASE tests/packaging/install_check.sh
# Installs dist/whirlet_*.deb the way a user does, with apt-get, runs the Linux end-to-end checks
# on the installed /usr/bin/whirlet, purges the package and looks for anything of it left behind.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/common.sh

debs=(dist/whirlet_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: want one dist/whirlet_*.deb" >&2; exit 1; }
release="Debian $(cat /etc/debian_version)"
fail() {
    echo "FAIL ($release): $*" >&2
    exit 1
}
installed_packages() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }

apt-get -o DPkg::Lock::Timeout=600 update -qq
before=$(installed_packages)
# Without Recommends: whatever the program needs must come through Depends.
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "./${debs[0]}" >/dev/null
pulled=$(comm -13 <(echo "$before") <(installed_packages) | grep -vx whirlet || true)
echo "$release: installing ${debs[0]#dist/} pulled in $(wc -w <<<"$pulled") packages:" $pulled
missing=$(ldd /usr/bin/whirlet | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries not found after installing: $missing"
mapfile -t files < <(dpkg-query -L whirlet)

# The checks' own tools come afterwards, so that they cannot stand in for a missing dependency
# of the program.
need_packages "${e2e_packages[@]}"
python3 tests/e2e/test_linux.py /usr/bin/whirlet

DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq whirlet >/dev/null
status=$(dpkg-query -W -f='${db:Status-Abbrev}' whirlet 2>/dev/null || true)
[[ -z $status || $status == pn* ]] || fail "whirlet's state after purge: $status"
# Its files, and its own folders (shared ones like /usr/share stay, as they should).
left=()
for path in "${files[@]}"; do
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == *whirlet* ]]; }; then
        left+=("$path")
    fi
done
# Anything named after it that dpkg did not list (this checkout and temporary files aside).
mapfile -t stray < <(find / -xdev \( -path /whirlet -o -path /tmp -o -path /proc \) -prune -o \
    -name '*whirlet*' -print)
left+=("${stray[@]}")
[ ${#left[@]} -eq 0 ] || fail "left behind after purge: ${left[*]}"
echo "$release: installed, passed the end-to-end checks, purged without a trace (${#files[@]} paths)"
