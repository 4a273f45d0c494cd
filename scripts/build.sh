#!/usr/bin/env bash
# Configures and builds with Ninja; re-running is incremental.
#   build/host      native, against the simulated machine: tests and demo
#   build/host-tsan the same under ThreadSanitizer (BRISKLINK_SANITIZE=thread)
#   build/target    mingw-w64 x64: Brisklink.sys and the virtual bus driver
#   build/target32  mingw-w64 x86: setup.dll and blnkctl.exe (only once setup/ has sources)
#   build/package   the driver package: Brisklink.inf, Brisklink.sys,
#                   setup.dll and blnkctl.exe, collected from the two target
#                   builds
# Usage: scripts/build.sh [host] [target] [target32] [package]   (default: all)
# BRISKLINK_SANITIZE=0 builds the host build without ASan/UBSan (CI always
# uses them); BRISKLINK_SANITIZE=thread builds it with ThreadSanitizer in
# build/host-tsan instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

builds=("$@")
((${#builds[@]})) || builds=(host target target32 package)

# CMake keeps the compiler it first found: when a toolchain file changes (for
# example to another compiler variant), the folder's cache starts over.
forget_stale_toolchain() {
    local dir=$1 toolchain=$2 stamp
    stamp=$(sha256sum "$toolchain" | cut -d' ' -f1)
    if [[ -f $dir/CMakeCache.txt && $(cat "$dir/.toolchain-stamp" 2>/dev/null) != "$stamp" ]]; then
        echo "build: $toolchain changed; $dir configures afresh"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    mkdir -p "$dir"
    echo "$stamp" >"$dir/.toolchain-stamp"
}

configure_and_build() {
    local dir=$1
    shift
    echo "== build: $dir"
    cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli "$@"
    cmake --build "$dir" -- -k 0 # report every broken file, not just the first
}

# What a Windows machine needs to install the port, in one folder; built
# from what the target builds produced, so they must have run.
make_package() {
    local dir=build/package f missing=()
    local files=(build/target/Brisklink.inf build/target/Brisklink.sys build/target32/setup.dll build/target32/blnkctl.exe)
    echo "== build: $dir"
    for f in "${files[@]}"; do
        [[ -f $f ]] || missing+=("$f")
    done
    if ((${#missing[@]})); then
        echo "build: the package lacks ${missing[*]} (scripts/build.sh target target32 builds them)" >&2
        return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "${files[@]}" "$dir/"
    echo "build: $dir holds $(cd "$dir" && echo *)"
}

mkdir -p build
for b in "${builds[@]}"; do
    case $b in
    host)
        configure_and_build "$(host_build_dir)" -DBRISKLINK_SANITIZE="$(sanitize_setting)" ;;
    target)
        forget_stale_toolchain build/target cmake/mingw-x64.cmake
        configure_and_build build/target -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x64.cmake ;;
    target32)
        if has_sources setup; then
            forget_stale_toolchain build/target32 cmake/mingw-x86.cmake
            configure_and_build build/target32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86.cmake
        else
            echo "build: target32 skipped (setup/ has no sources)"
        fi ;;
    package)
        make_package ;;
    *)
        echo "usage: $0 [host] [target] [target32] [package]" >&2
        exit 2 ;;
    esac
done
