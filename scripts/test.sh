#!/usr/bin/env bash
# Builds everything and runs every check:
#   the verifier rules' registry and proofs (tools/rules/check_rules.py),
#   host tests (ctest, each test in its own process, ASan/UBSan in CI),
#   the PE checks of the target binaries,
#   the portable system tests against the real drivers under Wine
#   (scripts/wine-run.sh).
# Usage: scripts/test.sh [--clean]    (CI=true implies --clean)
# Exits non-zero when anything fails; the last line is "N passed, M failed"
# for the host tests (a host build that fails counts as one failure).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

clean=0
for arg in "$@"; do
    case $arg in
    --clean) clean=1 ;;
    *) echo "usage: $0 [--clean]" >&2; exit 2 ;;
    esac
done
[[ ${CI:-} == true ]] && clean=1

summary=()
failed_steps=0
note() { summary+=("$1"); }
fail() { summary+=("$1"); failed_steps=$((failed_steps + 1)); }

scripts/install-deps.sh || { echo "test: installing dependencies failed" >&2; exit 1; }
((clean)) && rm -rf build

# ------------------------------------------------------------------ style
if scripts/format.sh --check; then
    note "style check: OK"
else
    fail "style check: FAILED (run scripts/format.sh)"
fi

# ---------------------------------------------------------- verifier rules
# Every rule the simulated machine reports is in its registry and proved by a
# test (tools/rules/check_rules.py --list prints them).
if ! rules_selftest=$(PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s tools/rules -p 'test_*.py' 2>&1); then
    echo "$rules_selftest"
    fail "verifier rules: FAILED (the checker's self-test failed)"
elif rules=$(PYTHONDONTWRITEBYTECODE=1 python3 tools/rules/check_rules.py); then
    note "$rules"
else
    fail "$rules"
fi

# ------------------------------------------------------------------ builds
host_built=0
if scripts/build.sh host; then
    host_built=1
    note "host build: OK"
else
    fail "host build: FAILED"
fi
target_built=0
if scripts/build.sh target; then
    target_built=1
    note "target build: OK"
else
    fail "target build: FAILED"
fi
target32_built=0
if has_sources setup; then
    if scripts/build.sh target32; then
        target32_built=1
        note "target32 build: OK"
    else
        fail "target32 build: FAILED"
    fi
fi

if ((target_built && target32_built)); then
    if scripts/build.sh package; then
        note "package: OK (build/package)"
    else
        fail "package: FAILED"
    fi
fi

# -------------------------------------------------------------- host tests
passed=0
failed=0
if ((host_built)); then
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    log=build/host/ctest.log
    ctest --test-dir build/host --output-on-failure -j2 2>&1 | tee "$log"
    ctest_rc=${PIPESTATUS[0]}
    # "97% tests passed, 2 tests failed out of 60"
    result=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [[ -n $result ]]; then
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$result")
        failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$result")
        passed=$((total - failed))
    elif grep -q 'No tests were found' "$log"; then
        note "host tests: none registered yet"
    else
        failed=1
    fi
    if ((ctest_rc != 0 && failed == 0)); then
        failed=1 # ctest failed without a result line (for example a discovery error)
    fi
    if ((failed)); then
        fail "host tests: $passed passed, $failed failed"
    else
        note "host tests: $passed passed, 0 failed"
    fi
else
    failed=1
    note "host tests: not run (host build failed)"
fi

# --------------------------------------------- host tests in one process each
# ctest gives every test a fresh process; a developer runs a whole binary.
# Running each binary whole, in order, catches a test that passes only
# because no earlier test in its process left a setting or a cached value.
if ((host_built)); then
    whole_failed=()
    for binary in build/host/tests/unit/unit_tests build/host/tests/sim/sim_tests \
        build/host/tests/system/system_tests; do
        [[ -x $binary ]] || continue
        if ! out=$("$binary" --gtest_brief=1 2>&1); then
            echo "$out" | grep -E '^\[  FAILED  \]' | sort -u
            whole_failed+=("$(basename "$binary")")
        fi
    done
    if ((${#whole_failed[@]})); then
        fail "host tests in one process: FAILED in ${whole_failed[*]}"
    else
        note "host tests in one process: OK"
    fi
fi

# ----------------------------------------------------------- target checks
pecheck() { PYTHONDONTWRITEBYTECODE=1 python3 tools/pecheck/pecheck.py "$@"; }

if PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s tools/pecheck -p 'test_*.py' 2>build/pecheck-selftest.log; then
    note "pecheck self-test: OK"
else
    cat build/pecheck-selftest.log
    fail "pecheck self-test: FAILED"
fi

DRIVER_EXPECT=(--machine x64 --pe32plus --subsystem native --entry-set --wdm-driver
               --relocatable --checksum --no-exports --allowed-imports ntoskrnl.exe,HAL.dll,USBD.SYS)

# check_image <binary> <whether its sources exist> <built> <expectations...>
check_image() {
    local image=$1 has_src=$2 built=$3 name
    shift 3
    name=$(basename "$image")
    if ((!has_src)); then
        note "PE check $name: skipped (no sources yet)"
    elif ((!built)); then
        fail "PE check $name: not run (build failed)"
    elif [[ ! -f $image ]]; then
        fail "PE check $name: FAILED: $image was not produced"
    elif out=$(pecheck "$image" "$@"); then
        note "$out"
    else
        pecheck "$image" --list "$@" # the image's imports and exports, then each failure
        fail "PE check $name: FAILED"
    fi
}

has_any() { [[ -n $(find "$1" -name '*.cpp' -print -quit 2>/dev/null) ]]; }
check_image build/target/Brisklink.sys "$(has_any driver && echo 1 || echo 0)" "$target_built" "${DRIVER_EXPECT[@]}"
check_image build/target/BlnkVbus.sys "$(has_any vbus && echo 1 || echo 0)" "$target_built" "${DRIVER_EXPECT[@]}"
check_image build/target32/setup.dll "$(has_sources setup && echo 1 || echo 0)" "$target32_built" \
    --machine x86 --pe32 --dll --subsystem windows_gui --entry-set --relocatable \
    --export SetupPortName --allowed-imports setupapi.dll,advapi32.dll,kernel32.dll
# setup.dll is loaded at run time, never imported.
check_image build/target32/blnkctl.exe "$(has_any tools/blnkctl && echo 1 || echo 0)" "$target32_built" \
    --machine x86 --pe32 --subsystem windows_cui --entry-set --relocatable --no-exports \
    --allowed-imports kernel32.dll,advapi32.dll,setupapi.dll

# ------------------------------------------------- portable system tests
# On the simulated machine they ran with the host tests above (ctest label
# system_tests); under Wine they run against the real Brisklink.sys and
# BlnkVbus.sys. A machine where Wine cannot run fails here: CI must not pass
# by skipping it.
if ((host_built)) && [[ -f build/host/ctest.log ]]; then
    sim_names=$(ctest --test-dir build/host -N -L '^system_tests$' 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p')
    sim_pass=0
    sim_fail=0
    while IFS= read -r name; do
        [[ -z $name ]] && continue
        line=$(grep -F " $name " build/host/ctest.log | grep -E 'Test +#[0-9]+:' | tail -1)
        if [[ $line == *" Passed "* ]]; then
            sim_pass=$((sim_pass + 1))
        elif [[ -n $line ]]; then
            sim_fail=$((sim_fail + 1))
        fi
    done <<<"$sim_names"
    note "system tests on the simulated machine: $sim_pass passed, $sim_fail failed"
fi

if ((!target_built)); then
    fail "system tests under Wine: not run (target build failed)"
elif [[ ! -f build/target/system_tests.exe ]]; then
    fail "system tests under Wine: not run (system_tests.exe was not built)"
else
    echo
    echo "== Wine: the portable system tests against the real drivers"
    wine_log=build/wine-run.log
    scripts/wine-run.sh 2>&1 | tee "$wine_log"
    wine_rc=${PIPESTATUS[0]}
    wine_line=$(grep -E '^system tests under Wine: ' "$wine_log" | tail -1)
    blnkctl_line=$(grep -E '^blnkctl under Wine: ' "$wine_log" | tail -1)
    [[ -n $blnkctl_line ]] && note "$blnkctl_line"
    if [[ -z $wine_line ]]; then
        fail "system tests under Wine: FAILED: Wine could not run them ($(grep -E '^wine-run: FAILED' "$wine_log" | tail -1))"
    elif ((wine_rc != 0)); then
        fail "$wine_line: FAILED"
    else
        note "$wine_line"
    fi
fi

echo
echo "== Summary"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
((failed_steps == 0 && failed == 0))
