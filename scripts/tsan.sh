#!/usr/bin/env bash
# Builds the host build under ThreadSanitizer (build/host-tsan) and runs its
# tests there, each in its own process, with the one suppressions file
# (tests/tsan.supp, every entry says why the race is benign).
# Usage: scripts/tsan.sh [ctest -R pattern]
#   scripts/tsan.sh                          the whole host suite
#   scripts/tsan.sh '^(Datapath|Counter)'    only the tests the pattern names
# A test with a ThreadSanitizer report fails. The last two lines are
# "N passed, M failed" and "K ThreadSanitizer reports"; each report is kept
# in build/host-tsan/tsan-logs/.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

pattern=${1:-}
dir=build/host-tsan
logs=$dir/tsan-logs

start=$SECONDS
if ! BRISKLINK_SANITIZE=thread scripts/build.sh host; then
    echo "tsan: the ThreadSanitizer build failed" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
built=$SECONDS
echo "tsan: build took $((built - start)) s"

rm -rf "$logs"
mkdir -p "$logs"
# halt_on_error=0: one run shows every race of its test, not just the first.
# second_deadlock_stack: lock-order reports name both acquisitions.
export TSAN_OPTIONS="suppressions=$BRISKLINK_ROOT/tests/tsan.supp halt_on_error=0 second_deadlock_stack=1 log_path=$BRISKLINK_ROOT/$logs/report ${TSAN_OPTIONS:-}"
args=(--test-dir "$dir" --output-on-failure -j2)
[[ -n $pattern ]] && args+=(-R "$pattern")
log=$dir/ctest.log
ctest "${args[@]}" 2>&1 | tee "$log"
ctest_rc=${PIPESTATUS[0]}
echo "tsan: tests took $((SECONDS - built)) s"

# "97% tests passed, 2 tests failed out of 60"
result=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
if [[ -n $result ]]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$result")
    failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$result")
    passed=$((total - failed))
else
    passed=0
    failed=1
fi
((ctest_rc != 0 && failed == 0)) && failed=1 # for example a discovery error

reports=$(cat "$logs"/report.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer:')
if ((reports)); then
    echo "tsan: reports by where they were found:"
    cat "$logs"/report.* | sed -n 's/^SUMMARY: ThreadSanitizer: //p' | sort | uniq -c | sort -rn | sed 's/^/  /'
    echo "tsan: the reports are in $logs/"
fi
echo "$passed passed, $failed failed"
echo "$reports ThreadSanitizer reports"
((failed == 0 && reports == 0))
