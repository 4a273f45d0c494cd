#!/usr/bin/env bash
# Builds the data path benchmarks without sanitizers (build/bench, apart from
# the ASan build in build/host) and prints one table: each figure, the bus's
# limit and the ratio.
#   The limit: a high-speed interrupt endpoint moves 3 packets per 125 us,
#   24,000 packets/s each way.
# Then a second table: bytes per second through a whole port, between a
# Win32 program's ReadFile and WriteFile and the unpaced virtual bus, on the
# simulated machine and with the real binaries under Wine (the portable test
# PortThroughputTest.*; --no-wine leaves Wine out).
# Each benchmark runs three times (--repetitions=N to change): the table
# gives the median and, beside it, the lowest and highest of the runs, since
# figures that depend on how the host schedules a few threads on two cores
# move between runs.
# Other arguments go to brisklink_bench (for example --benchmark_filter=...).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

wine=1
repetitions=3
args=()
for arg in "$@"; do
    case $arg in
    --no-wine) wine=0 ;;
    --repetitions=*) repetitions=${arg#*=} ;;
    *) args+=("$arg") ;;
    esac
done

echo "== build: build/bench (no sanitizers)" >&2
cmake -S . -B build/bench -G Ninja --no-warn-unused-cli -DBRISKLINK_SANITIZE=OFF >/dev/null
cmake --build build/bench --target brisklink_bench system_tests >/dev/null

json=$(mktemp)
trap 'rm -f "$json"' EXIT
build/bench/tests/bench/brisklink_bench --benchmark_format=json --benchmark_out="$json" \
    --benchmark_out_format=json --benchmark_repetitions="$repetitions" "${args[@]}" >/dev/null

python3 - "$json" <<'PY'
import json, re, statistics, sys
LIMIT = 24000.0  # packets/s each way
runs = [r for r in json.load(open(sys.argv[1]))["benchmarks"] if r.get("run_type", "iteration") == "iteration"]
groups = {}
for r in runs:
    name = re.sub(r"/iterations:\d+", "", r.get("run_name", r["name"]).replace("/real_time", ""))
    groups.setdefault(name, []).append(r)

def spread(values, fmt):
    return f"{fmt(statistics.median(values))}" + (f"  ({fmt(min(values))}..{fmt(max(values))})" if len(values) > 1 else "")

print(f"{'benchmark (median of runs, lowest..highest)':48} {'figure':>16} {'limit':>10} {'ratio':>8}  allocs/packet")
ports = {}
for name, rs in groups.items():
    failed = [r for r in rs if r.get("error_occurred")]
    if failed:
        print(f"{name:48} ERROR {failed[0].get('error_message', '')}")
        continue
    first = rs[0]
    allocs = max(r.get("driver_allocs_per_packet", 0.0) for r in rs)
    allocs = f"{allocs:.3f}" if "driver_allocs_per_packet" in first else ""
    if "packets_per_s" in first and "cpu_ns_per_byte" not in first:
        pps = [r["packets_per_s"] for r in rs]
        ratio = statistics.median(pps) / LIMIT
        print(f"{name:48} {statistics.median(pps):>12,.0f} p/s {LIMIT:>10,.0f} {ratio:>7.1f}x  {allocs}"
              + (f"  ({min(pps) / LIMIT:.1f}x..{max(pps) / LIMIT:.1f}x)" if len(rs) > 1 else ""))
    elif "p99_us" in first:
        us = lambda v: f"{v:.0f} us"
        print(f"{name:48} p50 {spread([r['p50_us'] for r in rs], us)}, p99 {spread([r['p99_us'] for r in rs], us)}")
    elif "cpu_ns_per_byte" in first:
        count = name.split("/")[1]
        ports[count] = [r["cpu_ns_per_byte"] for r in rs]
        pps = statistics.median(r["packets_per_s"] for r in rs)
        print(f"{name:48} {spread(ports[count], lambda v: f'{v:.1f}')} ns/B cpu {pps:>10,.0f} p/s  {allocs}")
if "1" in ports and "16" in ports:
    ratios = [b / a for a, b in zip(ports["1"], ports["16"])]
    print(f"{'16 ports per byte / 1 port per byte':48} {spread(ratios, lambda v: f'{v:.2f}x')} (goal <= 1.5x)")
PY

# ---------------------------------------------------------------- a whole port
filter='PortThroughputTest.*'
sim_out=$(build/bench/tests/system/system_tests --gtest_filter="$filter" 2>&1) ||
    { echo "$sim_out" >&2; echo "bench: the throughput test failed on the simulated machine" >&2; exit 1; }
wine_out=""
if ((wine)); then
    echo "== build: build/target, then the throughput test under Wine" >&2
    if scripts/build.sh target >/dev/null 2>&1; then
        wine_out=$(scripts/wine-run.sh -- --gtest_filter="$filter" 2>&1) ||
            { echo "$wine_out" | tail -n 30 >&2; echo "bench: the throughput test failed under Wine" >&2; exit 1; }
    else
        echo "bench: the target build failed; Wine's column is left empty" >&2
    fi
fi
python3 - "$sim_out" "$wine_out" <<'PY'
import re, sys
LIMIT = {"receive": 24000 * 15, "send": 24000 * 127}  # bytes/s a device moves each way
def figures(text):
    return {(d, int(p)): float(r) for d, p, r in
            re.findall(r"THROUGHPUT (\w+) ports=(\d+) bytes_per_s=([\d.]+)", text)}
sim, wine = figures(sys.argv[1]), figures(sys.argv[2])
print()
print("a whole port: a Win32 program's ReadFile/WriteFile and the unpaced virtual bus")
print(f"{'direction':10} {'ports':>5} {'limit':>12} {'sim B/s':>14} {'ratio':>8} {'Wine B/s':>14} {'ratio':>8} {'Wine/sim':>9}")
for key in sorted(sim):
    d, p = key
    limit = LIMIT[d] * p
    line = f"{d:10} {p:>5} {limit:>12,} {sim[key]:>14,.0f} {sim[key] / limit:>7.1f}x"
    if key in wine:
        line += f" {wine[key]:>14,.0f} {wine[key] / limit:>7.1f}x {wine[key] / sim[key]:>8.2f}"
    print(line)
PY
