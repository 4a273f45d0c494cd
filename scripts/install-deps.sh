#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Brisklink.
# Fast when everything is already there: apt is not touched at all.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

PACKAGES=(
    cmake ninja-build make g++ python3
    clang-format          # the tree's one style, checked by scripts/test.sh
    ccache                # used by the build when present: fast rebuilds
    googletest            # sources in /usr/src/googletest, built by the host build
    libbenchmark-dev
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686
    binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
    mingw-w64-x86-64-dev mingw-w64-i686-dev mingw-w64-tools
)

# A mirror in the middle of a sync answers with index files of the wrong size
# for a minute or two; try again rather than fail a fresh machine's set-up.
# A last failure is only a warning: the install that follows says whether
# the lists it has are enough.
apt_update() {
    local attempt
    for attempt in 1 2 3 4; do
        as_root apt-get update && return 0
        echo "install-deps: apt-get update failed (attempt $attempt); retrying in $((attempt * 15)) s" >&2
        sleep $((attempt * 15))
    done
    echo "install-deps: apt-get update kept failing; installing from the lists at hand" >&2
}

installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

missing=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "install-deps: installing ${missing[*]}"
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
    echo "install-deps: build tools present"
fi

# ---------------------------------------------------------------------------
# Wine runs the target binaries and the portable system tests. The 64-bit
# loader runs the drivers and the x64 test programs; wine64-tools brings
# winedump. The 32-bit half (wine32:i386) would run the 32-bit setup
# library's clients; it is tried once, with the 64-bit half, and its failure
# (a mirror whose i386 lists lag behind the amd64 ones leaves it with
# unmet dependencies) is only a warning: nothing here runs 32-bit code
# under Wine yet.
# ---------------------------------------------------------------------------
WINE_PACKAGES=(wine64 wine wine64-tools)
wine_missing=()
for p in "${WINE_PACKAGES[@]}"; do
    installed "$p" || wine_missing+=("$p")
done
if ((${#wine_missing[@]})); then
    echo "install-deps: installing ${wine_missing[*]} wine32:i386"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    apt_update
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${wine_missing[@]}" wine32:i386; then
        echo "install-deps: wine32:i386 cannot be installed now; installing the 64-bit Wine alone" >&2
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${wine_missing[@]}"
    fi
else
    echo "install-deps: Wine present"
fi
