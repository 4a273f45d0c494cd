# Shared by the scripts in this folder; source it, don't run it.

# The repository root, whatever the caller's working folder.
BRISKLINK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: '$*' needs root and sudo is not available; run this script as root" >&2
        return 1
    fi
}

# True when the folder holds at least one C++ source file (not recursive).
has_sources() {
    compgen -G "$1/*.cpp" >/dev/null
}

# Sanitizers are on unless BRISKLINK_SANITIZE=0: CI runs with them, and the
# host tests stay fast enough with them. BRISKLINK_SANITIZE=thread asks for
# ThreadSanitizer instead (its own folder: see host_build_dir).
sanitize_setting() {
    if [[ ${BRISKLINK_SANITIZE:-} == thread ]]; then
        echo thread
    elif [[ ${CI:-} == true || ${BRISKLINK_SANITIZE:-1} != 0 ]]; then
        echo ON
    else
        echo OFF
    fi
}

# The host build's folder: the ThreadSanitizer build lives apart, since
# its objects cannot link with the AddressSanitizer build's.
host_build_dir() {
    if [[ $(sanitize_setting) == thread ]]; then echo build/host-tsan; else echo build/host; fi
}
