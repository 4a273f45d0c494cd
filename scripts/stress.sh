#!/usr/bin/env bash
# Runs the long seeded campaigns at their full counts on the simulated
# machine (ASan/UBSan build) and prints one summary table. Any failure prints
# the line that replays it.
# Usage: scripts/stress.sh [--seed S] [--count N] [--only NAME[,NAME...]] [--list]
#   --seed   base seed of every campaign (default: a fresh one, printed)
#   --count  cases of every campaign instead of each one's full count
#   --only   run just the named campaigns
# A campaign replays one case with the seed its REPLAY line names:
#   BRISKLINK_SEED=<seed> BRISKLINK_CASES=1 <binary> --gtest_filter=<test>
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

seed=$(((RANDOM << 15 | RANDOM) + 1))
count=
only=
list=0
while (($#)); do
    case $1 in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    --list) list=1; shift ;;
    *) echo "usage: $0 [--seed S] [--count N] [--only NAME[,NAME...]] [--list]" >&2; exit 2 ;;
    esac
done

if ((list)); then
    for entry in "${CAMPAIGNS[@]}" "${PLAIN_CAMPAIGNS[@]}"; do
        IFS='|' read -r name binary filter full _ <<<"$entry"
        printf '%-22s %8s cases  %s --gtest_filter=%s\n' "$name" "$full" "$binary" "$filter"
    done
    exit 0
fi

scripts/install-deps.sh >/dev/null || { echo "stress: installing dependencies failed" >&2; exit 1; }
scripts/build.sh host || { echo "stress: the host build failed" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
logs=build/stress
mkdir -p "$logs"
rows=()
replays=()
failures=0

selected() { [[ -z $only || $only == *",$1,"* ]]; }

# run <name> <binary> <filter> <cases> [count variable]
run() {
    local name=$1 binary=build/host/$2 filter=$3 cases=$4 variable=${5:-} log start seconds rc line result
    log=$logs/$name.log
    start=$(date +%s)
    if [[ -n $variable ]]; then
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
        replays+=("$name: BRISKLINK_SEED=$seed BRISKLINK_CASES=$cases $binary --gtest_filter='$filter'   (log $log)")
    else
        result="FAILED"
        ((failed == 0)) && failed=1
        local r
        while IFS= read -r r; do
            replays+=("$name: ${r#REPLAY $name } $binary --gtest_filter='$filter'")
        done < <(grep -E "^REPLAY $name " "$log")
        [[ -n $variable ]] && replays+=("$name: $variable=$cases $binary --gtest_filter='$filter'   (log $log)")
    fi
    [[ $result != passed ]] && failures=$((failures + 1))
    rows+=("$(printf '%-22s %10s %8s %8ss  %s' "$name" "$ran" "$failed" "$seconds" "$result")")
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
