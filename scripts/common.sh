# Shared by the scripts in this folder: sourced, not run.

# What changes the system goes through sudo when not root.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# Installs the Debian packages that are missing.
need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null; then
        echo "Please install: $* (or your system's equivalents)" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}"
    # Another apt run (an update timer, a second script) holds the lock for a while: wait for it.
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install \
        -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building the program needs.
build_packages=(cmake make g++ pkg-config freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri)

# What running it on a virtual display and looking at it needs.
display_packages=(xvfb xauth x11-utils x11-apps libx11-6 xdotool imagemagick)

# What cross-building it for 32-bit Windows needs (freeglut comes from Debian's source package).
windows_packages=(cmake make dpkg-dev file g++-mingw-w64-i686)

# Wine only recommends the GL and X libraries a GL window needs; they must match its architecture.
wine_libraries=(libgl1 libgl1-mesa-dri libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1
                libxcomposite1 libxfixes3 libxxf86vm1)

# Running the 32-bit build under Wine, where the kernel runs 32-bit programs (after
# `dpkg --add-architecture i386`).
wine32_packages=(wine32:i386 "${wine_libraries[@]/%/:i386}")

# Elsewhere: the same sources built for 64-bit Windows, under 64-bit Wine (no i386 packages).
wine64_packages=(g++-mingw-w64-x86-64 wine64 "${wine_libraries[@]}")
