#!/usr/bin/env bash
# Builds the data path benchmarks without sanitizers (build/bench, apart from
# the ASan build in build/host) and prints one table: each figure, the bus's
# limit and the ratio.
#   The limit: a high-speed interrupt endpoint moves 3 packets per 125 us,
#   24,000 packets/s each way.
# Extra arguments go to brisklink_bench (for example --benchmark_filter=...).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

echo "== build: build/bench (no sanitizers)" >&2
cmake -S . -B build/bench -G Ninja --no-warn-unused-cli -DBRISKLINK_SANITIZE=OFF >/dev/null
cmake --build build/bench --target brisklink_bench >/dev/null

json=$(mktemp)
trap 'rm -f "$json"' EXIT
build/bench/tests/bench/brisklink_bench --benchmark_format=json --benchmark_out="$json" \
    --benchmark_out_format=json "$@" >/dev/null

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
