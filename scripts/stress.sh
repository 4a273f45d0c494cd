#!/usr/bin/env bash
# Runs the long seeded campaigns at their full counts on the simulated
# machine (ASan/UBSan build), and the portable ones with the real binaries
# under Wine, and prints one summary table. Any failure prints the line that
# replays it.
# Usage: scripts/stress.sh [--seed S] [--count N] [--only NAME[,NAME...]] [--no-wine] [--list]
#   --seed     base seed of every campaign (default: a fresh one, printed)
#   --count    cases of every campaign instead of each one's full count
#   --only     run just the named campaigns (Wine's are named wine:NAME)
#   --no-wine  skip the campaigns under Wine
# A campaign replays one case with the seed its REPLAY line names:
#   BRISKLINK_SEED=<seed> BRISKLINK_CASES=1 <binary> --gtest_filter=<test>
#   BRISKLINK_SEED=<seed> BRISKLINK_CASES=1 scripts/wine-run.sh -- --gtest_filter=<test>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

# name | binary (under build/host) | gtest filter | full count (the registry table is
# exhaustive: a count past its rows runs them all)
# The name is the one the test prints in its CAMPAIGN line.
CAMPAIGNS=(
    "removal_under_load|tests/sim/sim_tests|RemovalCampaignTest.*|1000"
    "device-input|tests/sim/sim_tests|DeviceInputCampaignTest.*|10000"
    "ioctl|tests/system/system_tests|IoctlCampaignTest.*|1000000"
    "registry|tests/sim/sim_tests|RegistryCampaignTest.*|100000"
    "datapath-mix|tests/sim/sim_tests|DataPathStressTest.*|200"
    "wait-race|tests/sim/sim_tests|WaitRaceTest.*|10000"
    "wakeup|tests/sim/sim_tests|WakeupTest.*|100000"
)
# Campaigns that print no CAMPAIGN line: their count goes in their own
# variable and the test's exit status is the result.
#   name | binary | filter | full count | count variable
PLAIN_CAMPAIGNS=(
    "power-cycles|tests/sim/sim_tests|PortPowerTest.SleepAndWakeCyclesWithIoInFlightLoseNothing|1000|BRISKLINK_POWER_CYCLES"
)

# The portable campaigns again, with the real binaries under Wine (the
# target build's system_tests.exe through scripts/wine-run.sh).
#   name | gtest filter | full count
WINE_CAMPAIGNS=(
    "port_removal|PortRemovalLoadTest.*|1000"
    "ioctl|IoctlCampaignTest.*|1000000"
)

seed=$(((RANDOM << 15 | RANDOM) + 1))
count=
only=
list=0
wine=1
while (($#)); do
    case $1 in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    --no-wine) wine=0; shift ;;
    --list) list=1; shift ;;
    *) echo "usage: $0 [--seed S] [--count N] [--only NAME[,NAME...]] [--no-wine] [--list]" >&2; exit 2 ;;
    esac
done

if ((list)); then
    for entry in "${CAMPAIGNS[@]}" "${PLAIN_CAMPAIGNS[@]}"; do
        IFS='|' read -r name binary filter full _ <<<"$entry"
        printf '%-22s %8s cases  %s --gtest_filter=%s\n' "$name" "$full" "$binary" "$filter"
    done
    for entry in "${WINE_CAMPAIGNS[@]}"; do
        IFS='|' read -r name filter full <<<"$entry"
        printf '%-22s %8s cases  scripts/wine-run.sh -- --gtest_filter=%s\n' "wine:$name" "$full" "$filter"
    done
    exit 0
fi

scripts/install-deps.sh >/dev/null || { echo "stress: installing dependencies failed" >&2; exit 1; }
selected() { [[ -z $only || $only == *",$1,"* ]]; }
wine_selected() {
    local entry name
    ((wine)) || return 1
    for entry in "${WINE_CAMPAIGNS[@]}"; do
        IFS='|' read -r name _ <<<"$entry"
        selected "wine:$name" && return 0
    done
    return 1
}
builds=(host)
wine_selected && builds+=(target target32)
scripts/build.sh "${builds[@]}" || { echo "stress: the build failed" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
logs=build/stress
mkdir -p "$logs"
rows=()
replays=()
failures=0

# run <name> <binary> <filter> <cases> [count variable]
run() {
    local name=$1 binary=build/host/$2 filter=$3 cases=$4 variable=${5:-} log start seconds rc line result label=$1
    [[ $2 == wine ]] && { label=wine:$name; binary="scripts/wine-run.sh --"; }
    log=$logs/${label/:/-}.log
    start=$(date +%s)
    if [[ $2 == wine ]]; then
        # One test runs the whole campaign: give it the time its count needs.
        BRISKLINK_SEED=$seed BRISKLINK_CASES=$cases BLNK_WINE_TEST_TIMEOUT=$((600 + cases / 10)) \
            scripts/wine-run.sh -- --gtest_filter="$filter" >"$log" 2>&1
    elif [[ -n $variable ]]; then
        env "$variable=$cases" BRISKLINK_SEED="$seed" "$binary" --gtest_filter="$filter" >"$log" 2>&1
    else
        BRISKLINK_SEED=$seed BRISKLINK_CASES=$cases "$binary" --gtest_filter="$filter" >"$log" 2>&1
    fi
    rc=$?
    seconds=$(($(date +%s) - start))
    line=$(grep -E "^CAMPAIGN $name " "$log" | tail -1)
    local ran=$cases failed=0
    if [[ -n $line ]]; then
        ran=$(sed -E 's/.* cases=([0-9]+).*/\1/' <<<"$line")
        failed=$(sed -E 's/.* failed=([0-9]+).*/\1/' <<<"$line")
    fi
    if ((rc == 0 && failed == 0)); then
        result=passed
    elif [[ -z $line && -z $variable ]]; then
        result="CRASHED (rc $rc)"
        replays+=("$label: BRISKLINK_SEED=$seed BRISKLINK_CASES=$cases $binary --gtest_filter='$filter'   (log $log)")
    else
        result="FAILED"
        ((failed == 0)) && failed=1
        local r
        while IFS= read -r r; do
            replays+=("$label: ${r#REPLAY $name } $binary --gtest_filter='$filter'")
        done < <(grep -E "^REPLAY $name " "$log")
        [[ -n $variable ]] && replays+=("$label: $variable=$cases $binary --gtest_filter='$filter'   (log $log)")
    fi
    [[ $result != passed ]] && failures=$((failures + 1))
    rows+=("$(printf '%-22s %10s %8s %8ss  %s' "$label" "$ran" "$failed" "$seconds" "$result")")
}

echo "== stress: base seed $seed"
for entry in "${CAMPAIGNS[@]}"; do
    IFS='|' read -r name binary filter full <<<"$entry"
    selected "$name" || continue
    echo "-- $name (${count:-$full} cases)"
    run "$name" "$binary" "$filter" "${count:-$full}"
done
for entry in "${PLAIN_CAMPAIGNS[@]}"; do
    IFS='|' read -r name binary filter full variable <<<"$entry"
    selected "$name" || continue
    echo "-- $name (${count:-$full} cases)"
    run "$name" "$binary" "$filter" "${count:-$full}" "$variable"
done
for entry in "${WINE_CAMPAIGNS[@]}"; do
    IFS='|' read -r name filter full <<<"$entry"
    ((wine)) && selected "wine:$name" || continue
    echo "-- wine:$name (${count:-$full} cases)"
    run "$name" wine "$filter" "${count:-$full}"
done

echo
echo "== Stress summary (base seed $seed, logs in $logs)"
printf '%-22s %10s %8s %9s  %s\n' campaign cases failed time result
printf '%s\n' "${rows[@]}"
if ((${#replays[@]})); then
    echo
    echo "== Replay"
    printf '%s\n' "${replays[@]}"
fi
((failures == 0))
