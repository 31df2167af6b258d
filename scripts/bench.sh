#!/bin/sh
# Builds the optimised program and its benchmarks (linux-release), runs the supervision's cost
# beside the query floor (1, 64 and 512 stand-ins, with and without 1,000 idle processes) and
# the doors' cost, and prints the ratio table. Slow: about ten minutes on two processors.
#   TERVANE_BENCH_CYCLES  cycles measured per run (default 4 here)
#   TERVANE_BENCH_KESP    another kesp to measure against the same floor (an older build)
#   BENCH_SKIP_BUILD=1    use the build as it is
set -eu
cd "$(dirname "$0")/.."
build=build/linux-release
if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  cmake --preset linux-release >/dev/null
  cmake --build --preset linux-release -j2 --target kesp tervane_replies_bench tervane_observe_bench tervane_output_bench
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export TERVANE_BENCH_CYCLES="${TERVANE_BENCH_CYCLES:-4}"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/tervane_replies_bench" --benchmark_filter='BM_QueryFloor|BM_KespCycle' \
  --benchmark_out="$out/replies.json" --benchmark_out_format=json >"$out/replies.txt" 2>&1
"$build/bench/tervane_observe_bench" --benchmark_filter='StatusJson|RenderMetrics/512|Scrape' \
  --benchmark_out="$out/observe.json" --benchmark_out_format=json >"$out/observe.txt" 2>&1
"$build/bench/tervane_output_bench" --benchmark_out="$out/output.json" --benchmark_out_format=json \
  >"$out/output.txt" 2>&1
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" <<'PY'
import json, sys
out = sys.argv[1]
def runs(name):
    return json.load(open(f"{out}/{name}.json"))["benchmarks"]
print("\n| servers | extra processes | kesp CPU per cycle (all threads) | floor | ratio | wake-ups per cycle (kesp / floor) | kesp RSS | start-up CPU to first cycle |")
print("|---|---|---|---|---|---|---|---|")
floor = {}
for b in runs("replies"):
    args = b["name"].split("/")[1:3]
    key = tuple(args)
    if b["name"].startswith("BM_QueryFloor"):
        floor[key] = b
    elif b["name"].startswith("BM_KespCycle") and "kesp_cpu_ms" in b:
        f = floor.get(key, {})
        print(f"| {args[0]} | {args[1]} | {b['kesp_cpu_ms']:.2f} ms | {b.get('floor_cpu_ms', 0):.2f} ms | "
              f"{b.get('ratio', 0):.2f}x | {b['wakeups']:.1f} / {f.get('wakeups', 0):.1f} | {b['kesp_rss_mb']:.1f} MB | "
              f"{b.get('startup_cpu_ms', 0):.1f} ms |")
print("\n| document | servers | CPU per answer | bytes | MB/s |")
print("|---|---|---|---|---|")
for b in runs("observe"):
    if "bytes" not in b: continue
    print(f"| {b['name']} | | {b['cpu_time']:.0f} {b['time_unit']} | {b['bytes']:.0f} | {b.get('bytes_per_second', 0) / 1e6:.0f} |")
for b in runs("output"):
    print("\noutput at 200 MB/s: " + ", ".join(f"{k}={b[k]:.1f}" for k in ("out_max_MB", "out1_max_MB", "cycle_gap_max_ms") if k in b))
PY
