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

installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

missing=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "install-deps: installing ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
    echo "install-deps: build tools present"
fi

# ---------------------------------------------------------------------------
# Wine runs the target binaries and the portable system tests. The 64-bit
# loader runs the drivers and the x64 test programs; the 32-bit half runs the
# 32-bit setup library's clients; wine64-tools brings winedump.
# ---------------------------------------------------------------------------
WINE_PACKAGES=(wine64 wine32:i386 wine wine64-tools)
wine_missing=()
for p in "${WINE_PACKAGES[@]}"; do
    installed "$p" || wine_missing+=("$p")
done
if ((${#wine_missing[@]})); then
    echo "install-deps: installing ${wine_missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${wine_missing[@]}"
else
    echo "install-deps: Wine present"
fi
