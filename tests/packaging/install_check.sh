#!/usr/bin/env bash
# piuparts' post_install hook (tests/packaging/check.sh hands it over), run as root in the fresh
# system with a copy of the checkout mounted at $WHIRLET_CHECKOUT: the installed program finds its
# libraries, AppStream finds it by its id, and the end-to-end checks drive it.
set -euo pipefail
cd "$WHIRLET_CHECKOUT"
. scripts/common.sh

missing=$(ldd /usr/bin/whirlet | grep 'not found' || true)
[ -z "$missing" ] || { echo "FAIL: libraries not found after installing: $missing" >&2; exit 1; }

# The checks' own tools come afterwards, so that they cannot stand in for a missing dependency
# of the program; piuparts removes them along with it. Mesa's shader cache and AppStream's are
# the checks' own, not the package's: they go under /tmp, which piuparts leaves out of its
# comparison.
need_packages "${e2e_packages[@]}" appstream
XDG_CACHE_HOME=$(mktemp -d)
export XDG_CACHE_HOME
# Software centres find the program by its AppStream id.
appstreamcli get --cachepath "$XDG_CACHE_HOME" org.example.Whirlet
python3 tests/e2e/test_linux.py /usr/bin/whirlet
