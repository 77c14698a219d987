# Shared by the project's scripts (here, in the target folders and under tests/): sourced, not run.

# What changes the system goes through sudo when not root; env keeps apt's front end quiet there
# (sudo drops the caller's variables), and dpkg keeps a changed configuration file rather than ask
# about it where the install's output is not shown.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt_get=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600
         -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

# The exit status of a command that could not get a package the project names because this
# system's archive does not offer it, or cannot install it now (a package removed from Debian's
# testing for a while, a transition in progress): it did what it could without, and said what.
archive_gap=3

# Installs the Debian packages that are missing. Releases rename packages: "a|b" is there when
# either is installed, else it installs the first that the archive knows. Where the archive has
# none of them, or cannot install them together, it says so in apt's words and fails with
# $archive_gap; any other failure, with 1.
need_packages() {
    local missing=() packages=() item pkg
    for item in "$@"; do
        [[ $(dpkg-query -W -f='${Status}\n' ${item//|/ } 2>/dev/null) == *" installed"* ]] ||
            missing+=("$item")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    # sudo asks for a password only where it has a terminal to ask on, and says first what for;
    # a user it refuses, or cannot ask, gets the list instead.
    if [ ${#sudo[@]} -gt 0 ] && command -v sudo >/dev/null && ! sudo -n true 2>/dev/null; then
        echo "Installing ${missing[*]} needs sudo." >&2
        sudo -v 2>/dev/null || true
    fi
    if ! command -v apt-get >/dev/null || { [ ${#sudo[@]} -gt 0 ] && ! sudo -n true 2>/dev/null; }
    then
        echo "Please install: ${missing[*]} (or your system's equivalents)," \
             "then run this again." >&2
        return 1
    fi
    # Another apt run (an update timer, a second script) holds the lock for a while: it waits,
    # and says so.
    "${apt_get[@]}" update -q > >(lock_waits)
    for item in "${missing[@]}"; do
        for pkg in ${item//|/ }; do
            apt-cache show --no-all-versions "$pkg" >/dev/null 2>&1 && break
        done
        packages+=("$pkg")
    done
    local said
    if ! said=$(apt-get install -s -qq --no-install-recommends "${packages[@]}" 2>&1); then
        echo "This system's archive cannot install ${packages[*]}; apt says:" >&2
        grep -E '^[EW]:|^ [^ ]' <<<"$said" >&2 || echo "$said" >&2
        return $archive_gap
    fi
    echo "Installing: ${packages[*]}"
    "${apt_get[@]}" install -y -q --no-install-recommends "${packages[@]}" > >(lock_waits) || {
        echo "Could not install: ${packages[*]}. Install them (or your system's equivalents)" \
             "and run this again." >&2
        return 1
    }
}

# Of apt's output, only the line that says it waits for another apt run's lock, once. Matched by
# the lock's path: apt's words are translated.
lock_waits() {
    local line said=
    while IFS= read -r line; do
        [[ $said || $line != *" /var/lib/"*"/lock"* ]] || { said=1; echo "$line"; }
    done
}

# Usage: usage [>&2]
# Prints the running command's usage: its header, the comment block at its top.
usage() {
    local self=$0
    [ -f "$self" ] || self=$OLDPWD/$0  # started from elsewhere: the path before the command's cd
    sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$self"
}

# Usage: usage_error WHAT
# For an argument the command does not take: says which, with the usage, and exits with 2.
usage_error() {
    echo "$0: $1" >&2
    usage >&2
    exit 2
}

# What building the program needs.
build_packages=(cmake make g++ pkg-config "libglut-dev|freeglut3-dev" libglu1-mesa-dev
                libgl1-mesa-dri)

# Running it on a virtual display and taking screenshots through the end-to-end tests' harness.
display_packages=(xvfb xauth python3 python3-xlib python3-pil)

# What the end-to-end tests need besides: pytest, the menu's labels read by OCR, the window's GL
# visual.
e2e_packages=("${display_packages[@]}" python3-pytest tesseract-ocr mesa-utils)

# The end-to-end checks on Wayland desktops (linux/desktops): GNOME's compositor, headless with a
# D-Bus session that the checks' input goes through (python3-dbus), and sway, nested in an Xvfb;
# both with Xwayland; xhost lets the checks onto sway's Xwayland.
desktop_packages=(mutter sway xwayland dbus python3-dbus x11-xserver-utils)

# What cross-building it for 32-bit Windows needs (freeglut and MinGW-w64's licences come from
# Debian's source packages, the latter a .tar.bz2), and reading the executable's headers for its
# check.
windows_packages=(cmake make g++-mingw-w64-i686 bzip2 python3-pytest python3-pefile)

# Wine only recommends the GL and X libraries a GL window needs; they must match its architecture.
wine_libraries=(libgl1 libgl1-mesa-dri libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1
                libxcomposite1 libxfixes3 libxxf86vm1)

# Running the 32-bit build under Wine, and a window manager for its checks, where the kernel runs
# 32-bit programs (after `dpkg --add-architecture i386`).
wine32_packages=(wine32:i386 openbox "${wine_libraries[@]/%/:i386}")

# Elsewhere: the same sources built for 64-bit Windows, under 64-bit Wine (no i386 packages).
wine64_packages=(g++-mingw-w64-x86-64 wine64 openbox "${wine_libraries[@]}")

# Building it for the browser with emcmake (GLU's own code comes from Debian's libglu source, a
# .tar.xz).
web_packages=(emscripten cmake make xz-utils python3)

# Looking at the page: headless Chromium driven from node (Debian's nodejs and npm bring
# puppeteer-core from npm's registry), whose control socket is on "localhost" (netbase names it
# where a minimal system has no /etc/hosts), and a font for the page's text. A node from elsewhere
# (NodeSource's, say) brings its own npm, which conflicts with Debian's.
browser_packages=(chromium nodejs netbase fonts-dejavu-core)
command -v npm >/dev/null || browser_packages+=(npm)

# The web tests: Firefox too, on a virtual display (its headless mode has no WebGL here), and the
# desktop build, whose GL (through surfaceless EGL) the camera is compared with.
web_test_packages=(firefox-esr xvfb xauth "${build_packages[@]}" libegl-dev libegl-mesa0)

# Usage: copy_checkout DIR
# The checkout's tracked files with their uncommitted changes (a commit that `git stash create`
# makes and stores nowhere), without build results, into DIR.
copy_checkout() {
    local snapshot
    snapshot=$(git stash create)
    mkdir -p "$1"
    git archive "${snapshot:-HEAD}" | tar -x -C "$1"
}

# Usage: logged LOG COMMAND [ARGS...]
# Runs a noisy command with its output in LOG, shown only when it fails.
logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

# Usage: stage NAME COMMAND [ARGS...]
# Runs one named stage of a longer script and prints how long it took; stage_name tells an exit
# trap which stage failed.
stage() {
    stage_name=$1
    shift
    local start=${EPOCHREALTIME/./}
    "$@"
    local tenths=$(( (${EPOCHREALTIME/./} - start) / 100000 ))
    printf '  %-40s %4d.%d s\n' "$stage_name" $((tenths / 10)) $((tenths % 10))
}

# Usage: run_under_wine i686|x86_64|wow64 PATH/TO/whirlet.exe
# Runs the end-to-end checks on a Windows build in a fresh prefix of its own kind, with the Wine
# of that architecture: Debian installs 32- and 64-bit Wine side by side; wow64 is a 32-bit build
# under a 64-bit Wine that runs such programs itself. Without DISPLAY they make an Xvfb of their
# own, so that the window manager they start never lands on a desktop.
run_under_wine() {
    local bits=64 loader=wine64
    [ "$1" != i686 ] || bits=32 loader=wine
    env -u DISPLAY WINEARCH="win$bits" WINELOADER="/usr/lib/wine/$loader" \
        WINESERVER="/usr/lib/wine/wineserver$bits" python3 tests/e2e/test_windows.py "$2"
}

# Usage: runs_32_bit SCRATCH_FILE
# Whether this kernel runs 32-bit x86 programs (some virtual machines boot with that switched off),
# asked by running a minimal i386 program written to SCRATCH_FILE. Where that file cannot be
# written or run at all, the script stops: only the kernel's refusal means no.
runs_32_bit() {
    # ELF header (executable, i386, entry 0x08048054), one segment loading the whole 91 bytes at
    # 0x08048000, and the code: xor ebx,ebx; xor eax,eax; inc eax; int 0x80, which is exit(0).
    local elf="7f454c46 010101 000000000000000000 0200 0300 01000000 54800408 34000000
               00000000 00000000 3400 2000 0100 0000 0000 0000
               01000000 00000000 00800408 00800408 5b000000 5b000000 05000000 00100000
               31db 31c0 40 cd80"
    printf %b "$(tr -d ' \n' <<<"$elf" | sed 's/../\\x&/g')" >"$1" && chmod +x "$1" &&
        [ -x "$1" ] || { echo "Cannot run a program from $1" >&2; exit 1; }
    # A refused binary is not read as a script: bash says so, with status 126.
    "$1" 2>/dev/null
}

# Installs 32-bit Wine, adding the i386 architecture first where it is missing (need_packages
# fetches the package lists again, now with i386). Only where runs_32_bit says yes. Where the
# archive offers none, an i386 architecture added for it goes again: nothing of it is installed,
# and it would only make every apt update longer.
need_wine32() {
    local added= status=0
    dpkg --print-foreign-architectures | grep -qx i386 ||
        { "${sudo[@]}" dpkg --add-architecture i386; added=1; }
    need_packages "${wine32_packages[@]}" || status=$?
    [ $status -ne $archive_gap ] || [ -z "$added" ] || "${sudo[@]}" dpkg --remove-architecture i386
    return $status
}

# Whether the 64-bit Wine installed runs 32-bit Windows programs itself (its WoW64 mode, with no
# 32-bit Linux part): then its i386-windows modules sit beside its x86_64-unix ones, where its
# ntdll looks for them. Debian 12's and 13's 64-bit Wine carry none.
wine_runs_32_bit() {
    local unix
    for unix in /usr/lib/wine/x86_64-unix /usr/lib/*/wine/x86_64-unix /usr/lib64/wine/x86_64-unix
    do
        [ -f "$unix/ntdll.so" ] && [ -f "${unix%/*}/i386-windows/ntdll.dll" ] && return 0
    done
    return 1
}

# Usage: fetch_upstream_source PACKAGE DIR [MEMBER_PATTERN...]
# Unpacks the upstream tarball of a Debian source package into DIR/source (only the members that
# match the tar wildcards, when some are given), once, and prints the path of the unpacked tree.
# It comes from the Debian or Ubuntu archives that apt already uses, through a private apt state
# under DIR (the system's sources stay as they are), and is checked against the archive's signed
# hash. Debian's own patches serve Debian's packaging, so they are not fetched. DIR is absolute:
# apt reads relative paths in its options as relative to /etc/apt.
fetch_upstream_source() {
    local package=$1 dir=$2 state=$2/apt
    shift 2
    if [ ! -f "$dir/version" ]; then  # written last, when the tree is there
        rm -rf "$dir/source" "$state"
        mkdir -p "$dir/source" "$state/lists/partial" "$state/cache"
        apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' \
            'Identifier: Packages' |
            awk '$4 == "Debian" || $4 == "Ubuntu" { print "deb-src", $1, $2, $3 }' |
            sort -u >"$state/sources.list"
        if [ ! -s "$state/sources.list" ]; then
            echo "apt knows no Debian or Ubuntu archive to fetch $package's source from." >&2
            echo "Unpack its upstream source into $dir/source and write its version into" \
                 "$dir/version by hand, then run this again." >&2
            return 1
        fi
        local apt=(-o Dir::Etc::SourceList="$state/sources.list"
                   -o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists="$state/lists"
                   -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root)
        logged "$state/update.log" apt-get "${apt[@]}" -qq update || return 1
        # The tarballs alone (not the .dsc nor Debian's own), into $state.
        (cd "$state" && logged download.log apt-get "${apt[@]}" -qq source --download-only \
            --tar-only --only-source "$package") || return 1
        local tarball=("$state/$package"_*.orig.tar.*)
        # Callers take its output in $(...), where set -e does not reach.
        tar -xf "${tarball[0]}" -C "$dir/source" ${1:+--wildcards} "$@" || return 1
        local version=${tarball[0]#"$state/${package}_"}
        echo "$package ${version%.orig.tar.*}: upstream tarball of Debian's source package" \
            >"$dir/version"
    fi
    cat "$dir/version" >&2
    find "$dir/source" -mindepth 1 -maxdepth 1 -type d -print -quit
}
