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
# Other arguments go to brisklink_bench (for example --benchmark_filter=...).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

wine=1
args=()
for arg in "$@"; do
    case $arg in
    --no-wine) wine=0 ;;
    *) args+=("$arg") ;;
    esac
done

echo "== build: build/bench (no sanitizers)" >&2
cmake -S . -B build/bench -G Ninja --no-warn-unused-cli -DBRISKLINK_SANITIZE=OFF >/dev/null
cmake --build build/bench --target brisklink_bench system_tests >/dev/null

json=$(mktemp)
trap 'rm -f "$json"' EXIT
build/bench/tests/bench/brisklink_bench --benchmark_format=json --benchmark_out="$json" \
    --benchmark_out_format=json "${args[@]}" >/dev/null

python3 - "$json" <<'PY'
import json, sys
LIMIT = 24000.0  # packets/s each way
runs = json.load(open(sys.argv[1]))["benchmarks"]
print(f"{'benchmark':48} {'figure':>16} {'limit':>10} {'ratio':>8}  allocs/packet")
ports = {}
for r in runs:
    name = r["name"].replace("/real_time", "")
    if r.get("error_occurred"):
        print(f"{name:48} ERROR {r.get('error_message', '')}")
        continue
    allocs = r.get("driver_allocs_per_packet")
    allocs = f"{allocs:.3f}" if allocs is not None else ""
    if "packets_per_s" in r and "cpu_ns_per_byte" not in r:
        pps = r["packets_per_s"]
        print(f"{name:48} {pps:>12,.0f} p/s {LIMIT:>10,.0f} {pps / LIMIT:>7.1f}x  {allocs}")
    elif "p99_us" in r:
        print(f"{name:48} p50 {r['p50_us']:.0f} us, p99 {r['p99_us']:.0f} us")
    elif "cpu_ns_per_byte" in r:
        count = name.split("/")[1]
        ports[count] = r["cpu_ns_per_byte"]
        print(f"{name:48} {r['cpu_ns_per_byte']:>9.1f} ns/B cpu {r['packets_per_s']:>10,.0f} p/s  {allocs}")
if "1" in ports and "16" in ports:
    print(f"{'16 ports per byte / 1 port per byte':48} {ports['16'] / ports['1']:>12.2f}x (goal <= 1.5x)")
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
