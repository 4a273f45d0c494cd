#!/usr/bin/env bash
# Runs the real target binaries under Wine: boots a Wine prefix, installs the
# virtual bus (BlnkVbus.sys, started as a kernel service) and the port's
# driver package (Brisklink.inf + Brisklink.sys), then runs the portable
# system tests (system_tests.exe) against them, or the demo client.
#
# Usage: scripts/wine-run.sh [--build DIR] [--keep] [--demo] [-- PROGRAM ARGS...]
#   --build DIR  the target build folder (default build/target)
#   --keep       keep the prefix and the logs of this run (build/wine/)
#   --demo       run brisklink-demo.exe instead of the system tests
#   PROGRAM ARGS extra arguments (for example --gtest_filter=PortDataTest.*)
# The last line is "system tests under Wine: N passed, M failed, K skipped
# (known Wine differences)"; the exit status is non-zero when anything failed,
# timed out, or Wine is missing. Before the tests, the 32-bit blnkctl.exe
# renames a running port with the real setup.dll ("blnkctl under Wine: ..."
# says how it went); where 32-bit Wine cannot run, that is skipped, with the
# reason.
#
# Environment: BLNK_WINEDEBUG (channels of the driver host's log, default
# +debugstr,+plugplay: DbgPrint, the PnP manager's steps, fixme: and err:
# lines), BLNK_WINE_TEST_TIMEOUT (seconds each test may take, 40).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

build=build/target
keep=0
demo=0
extra=()
while (($#)); do
    case $1 in
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --demo) demo=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "usage: $0 [--build DIR] [--keep] [--demo] [-- PROGRAM ARGS...]" >&2; exit 2 ;;
    esac
done

WINE64=/usr/lib/wine/wine64
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
say() { echo "wine-run: $*"; }
die() { echo "wine-run: FAILED: $*" >&2; exit 1; }

if [[ ! -x $WINE64 || ! -x $WINESERVER ]]; then
    die "Wine is not installed ($WINE64, wineserver); scripts/install-deps.sh installs it"
fi
wine_version=$("$WINE64" --version 2>/dev/null) || die "'$WINE64 --version' does not run"

program=system_tests.exe
((demo)) && program=brisklink-demo.exe
for f in Brisklink.sys BlnkVbus.sys Brisklink.inf blnk-session.exe "$program"; do
    [[ -f $build/$f ]] || die "$build/$f is missing (scripts/build.sh target builds it)"
done
build=$(cd "$build" && pwd)

work=$BRISKLINK_ROOT/build/wine
mkdir -p "$work"
log=$work/wine.log          # stderr of every Wine process: the driver host's DbgPrint, fixme:, err:
out=$work/program.out       # the program's stdout
xml_dir=$work/results       # GoogleTest's XML report of each test
prefix=$work/prefix
rm -rf "$prefix" "$log" "$out" "$xml_dir"
mkdir -p "$xml_dir"
: >"$log"

export WINEPREFIX=$prefix
export WINEDEBUG=${BLNK_WINEDEBUG:-+debugstr,+plugplay}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Z:\ is the Linux root in every prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

failed_step=""
# step <name> <seconds> <command...>: runs one step under a time limit; its
# stdout goes to ours, its stderr to the log.
step() {
    local name=$1 limit=$2 rc
    shift 2
    timeout --kill-after=10 "$limit" "$@" 2>>"$log"
    rc=$?
    if ((rc == 124 || rc == 137)); then
        failed_step="$name (timed out after ${limit}s)"
    elif ((rc != 0)); then
        failed_step="$name (exit status $rc)"
    fi
    return $rc
}

log_tail() {
    echo "---- last lines of the Wine log ($log) ----"
    grep -v -e 'KeInitializeDpc .* semi-stub' -e 'IoGetDeviceProperty device' -e 'get_device_instance_id' "$log" | tail -n 60
    echo "---- end of the Wine log ----"
}

sleeper=""
teardown() {
    if [[ -n $sleeper ]]; then
        kill "$sleeper" 2>/dev/null
        wait "$sleeper" 2>/dev/null
    fi
    timeout 30 "$WINESERVER" -k 2>/dev/null
    timeout 30 "$WINESERVER" -w 2>/dev/null || echo "wine-run: wineserver did not stop within 30 s" >&2
    ((keep)) || rm -rf "$prefix"
}
trap teardown EXIT

# ------------------------------------------------------------ the prefix
# A booted prefix is kept per Wine version; each run starts from a copy.
start=$SECONDS
template=$work/template-$(tr -c 'A-Za-z0-9.\n' '_' <<<"$wine_version")
if [[ ! -f $template/.blnk-ready ]]; then
    rm -rf "$work"/template-*
    say "booting a new prefix for $wine_version"
    WINEPREFIX=$template step "boot the prefix" 180 "$WINE64" wineboot --init >/dev/null &&
        WINEPREFIX=$template step "finish booting the prefix" 120 "$WINESERVER" -w ||
        { log_tail; WINEPREFIX=$template timeout 30 "$WINESERVER" -k; die "$failed_step"; }
    touch "$template/.blnk-ready"
fi
cp -a "$template" "$prefix" || die "copying the prefix failed"
rm -f "$prefix/.blnk-ready"
say "prefix ready ($((SECONDS - start)) s)"

# ----------------------------------------------------------- the package
windows=$prefix/drive_c/windows
cp "$build/Brisklink.sys" "$build/BlnkVbus.sys" "$windows/system32/drivers/" || die "copying the drivers failed"
# The INF's CopyFiles takes Brisklink.sys from beside the INF, as from an
# installation disk: without it Wine's device installation retries forever.
cp "$build/Brisklink.inf" "$build/Brisklink.sys" "$windows/inf/" || die "copying the driver package failed"
mkdir -p "$prefix/drive_c/blnk"
cp "$build/blnk-session.exe" "$build/$program" "$prefix/drive_c/blnk/"

# ------------------------------------------------------------ the session
# Wine stops its services and unloads the drivers when the last ordinary
# program exits: this one sleeps for the whole session. Its stderr is the
# driver host's (services start from the first Wine process).
session_limit=3600 # ended by the tear-down long before
timeout "$session_limit" "$WINE64" 'C:\blnk\blnk-session.exe' sleep "$session_limit" >/dev/null 2>>"$log" &
sleeper=$!

run_failed() {
    echo "wine-run: FAILED: $failed_step" >&2
    log_tail >&2
    exit 1
}

step "create the bus service" 60 "$WINE64" sc create BlnkVbus type= kernel start= demand \
    binPath= 'C:\windows\system32\drivers\BlnkVbus.sys' >>"$log" || run_failed
step "start the bus service" 60 "$WINE64" sc start BlnkVbus >>"$log" || run_failed
step "wait for \\\\.\\BlnkVbus" 60 "$WINE64" 'C:\blnk\blnk-session.exe' wait-open '\\.\BlnkVbus' 30 || run_failed
say "bus started ($((SECONDS - start)) s)"

# ------------------------------------------------------ blnkctl, 32-bit
# The x86 blnkctl.exe with the x86 setup.dll beside it: plug a port (COM5,
# the package's name), list it, rename it to COM4, and COM4 must open at
# once. First, while no earlier test's device is listed: Wine lists
# unplugged devices as present, and SetupPortName renames the first one.
# Afterwards the device goes and its name is removed, for the same reason.
WINE32=/usr/lib/wine/wine
build32=$(dirname "$build")/target32
blnkctl_line=""
blnkctl_scenario() {
    local out=$work/blnkctl.out id
    : >"$out"
    mkdir -p "$prefix/drive_c/blnk32"
    cp "$build32/blnkctl.exe" "$build32/setup.dll" "$prefix/drive_c/blnk32/" || return 1
    id=$(timeout 30 "$WINE64" 'C:\blnk\blnk-session.exe' plug BLNKCTL1 2>>"$log" | tr -d '\r') || return 1
    step "blnkctl: the port starts" 30 "$WINE64" 'C:\blnk\blnk-session.exe' wait-open '\\.\COM5' 20 >>"$out" &&
        step "blnkctl list" 30 "$WINE32" 'C:\blnk32\blnkctl.exe' list >>"$out" &&
        step "blnkctl rename COM4" 30 "$WINE32" 'C:\blnk32\blnkctl.exe' rename COM4 >>"$out" &&
        grep -q 'COM5 -> COM4' "$out" &&
        step "blnkctl: COM4 opens at once" 10 "$WINE64" 'C:\blnk\blnk-session.exe' wait-open '\\.\COM4' 1 >>"$out"
    local rc=$?
    timeout 30 "$WINE64" 'C:\blnk\blnk-session.exe' unplug "$id" >/dev/null 2>>"$log"
    timeout 30 "$WINE64" reg delete 'HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_5A1E&PID_0101\BLNKCTL1\Device Parameters' \
        /v PortName /f >/dev/null 2>>"$log"
    tr -d '\r' <"$out"
    return $rc
}
if ((!demo)); then
    if [[ ! -f $build32/blnkctl.exe || ! -f $build32/setup.dll ]]; then
        blnkctl_line="blnkctl under Wine: skipped ($build32 has no blnkctl.exe and setup.dll: scripts/build.sh target32)"
    # Through bash, which names an image the kernel cannot run ("Exec format
    # error") where timeout's exec would hand it to sh as a script.
    elif ! why=$(timeout 30 bash -c '"$0" --version' "$WINE32" 2>&1); then
        blnkctl_line="blnkctl under Wine: skipped (32-bit Wine does not run here: $(tail -1 <<<"$why"))"
    elif blnkctl_scenario; then
        blnkctl_line="blnkctl under Wine: rename COM5 -> COM4 passed"
    else
        blnkctl_line="blnkctl under Wine: FAILED: ${failed_step:-the rename did not report COM5 -> COM4}"
    fi
    say "${blnkctl_line#blnkctl under Wine: }"
    failed_step=""
fi

# -------------------------------------------------------------- the run
if ((demo)); then
    step "run the demo" 120 "$WINE64" 'C:\blnk\brisklink-demo.exe' "${extra[@]}" || run_failed
    say "demo done ($((SECONDS - start)) s)"
    exit 0
fi

# Each test runs in a program of its own, under its own time limit: a test
# that hangs fails alone and by name. The driver and the bus stay loaded
# across tests, as on a real machine.
list=$work/tests.txt
step "list the system tests" 60 "$WINE64" 'C:\blnk\system_tests.exe' --gtest_list_tests "${extra[@]}" >"$list" ||
    run_failed
# Windows programs end their lines with CR LF.
mapfile -t tests < <(tr -d '\r' <"$list" | awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }')
((${#tests[@]})) || { failed_step="list the system tests (no tests found)"; run_failed; }
say "running ${#tests[@]} system tests"
per_test=${BLNK_WINE_TEST_TIMEOUT:-40}
: >"$out"
tests_step=""
ran=0
not_run=0
host_answers() {
    timeout 20 "$WINE64" 'C:\blnk\blnk-session.exe' wait-open '\\.\BlnkVbus' 5 >/dev/null 2>>"$log"
}
for t in "${tests[@]}"; do
    failed_step=""
    step "test $t" "$per_test" "$WINE64" 'C:\blnk\system_tests.exe' "--gtest_filter=$t" \
        "--gtest_output=xml:$(winpath "$xml_dir/$t.xml")" > >(tr -d '\r' | grep -v -e '^Running main' -e '^Note: Google Test filter' -e '^\[==========\]' -e '^\[----------\]' -e '^$' -e '^\[  PASSED  \]' -e '^\[  FAILED  \] [^(]*$' -e '^\[  SKIPPED \] [^(]*$' -e '^ *[0-9]* FAILED TESTS\?$' | tee -a "$out")
    rc=$?
    wait $! 2>/dev/null # the filter, until it has written everything
    if ((rc == 124 || rc == 137)); then
        echo "[  FAILED  ] $t (timed out after ${per_test} s: the test hung)" | tee -a "$out"
        tests_step="at least one test hung"
        # A deadlocked or ended driver host would hang every test that follows.
        if ! host_answers; then
            not_run=$((${#tests[@]} - ++ran))
            echo "wine-run: the driver host no longer answers; the $not_run tests that follow are not run" >&2
            break
        fi
    fi
    ran=$((ran + 1))
done
# A driver host that ended (a fault or a stub call) no longer serves the bus.
host_alive=1
host_answers || host_alive=0
say "tests done ($((SECONDS - start)) s)"

# Per-test result lines of GoogleTest's console output (the XML is written
# only when a program ends normally).
passed=$(grep -c '^\[       OK \]' "$out")
failed=$(grep -c '^\[  FAILED  \] .*(' "$out")
skipped=$(grep -c '^\[  SKIPPED \] .*(' "$out")
missing=$((${#tests[@]} - not_run - passed - failed - skipped))
if ((missing > 0)); then
    echo "wine-run: $missing tests ended without a result (the program crashed)" >&2
fi
failed=$((failed + missing + not_run))
if [[ -n $tests_step ]] || ((!host_alive)); then
    [[ -n $tests_step ]] && echo "wine-run: FAILED: $tests_step" >&2
    ((host_alive)) || echo "wine-run: the driver host has ended: \\\\.\\BlnkVbus no longer opens (a fault, or a call of a routine Wine does not implement)" >&2
    log_tail >&2
fi
# A fault in a Wine process is "wine: Unhandled page fault ..." (or another
# exception's name) in the log.
faults=(-e 'unimplemented function' -e 'Unhandled exception' -e '^wine: Unhandled')
if grep -q "${faults[@]}" "$log"; then
    echo "wine-run: the Wine log reports a stub call or an unhandled exception:" >&2
    grep "${faults[@]}" "$log" | head -5 >&2
    ((failed)) || failed=1
fi
echo "$blnkctl_line"
[[ $blnkctl_line == *FAILED* ]] && failed=$((failed + 1))
echo "system tests under Wine: $passed passed, $failed failed, $skipped skipped (known Wine differences)"
((failed == 0 && host_alive))
