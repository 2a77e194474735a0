#!/usr/bin/env bash
# Runs the relay's benchmarks and prints one table. Takes the programs from
# build/bin, or from the folder given as $1. Needs socat (the reply floor).
# Every socket is on 127.0.0.1 except the relay program's own listener,
# which binds 0.0.0.0:3776 as it always does; nothing is sent elsewhere.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${1:-$root/build/bin}"
bin="$(cd "$bin" && pwd)" || { echo "bench/run.sh: no folder $1" >&2; exit 2; }
for p in tarvix-relayd tarvix-bus-sim tarvix-bench-reply tarvix-bench-inproc tarvix-bench-status tarvix-bench-wire tarvix-bench-monitor tarvix-bench-capture tarvix-bench-timing; do
  [ -x "$bin/$p" ] || { echo "bench/run.sh: $bin/$p is missing; build with TARVIX_BUILD_BENCH=ON" >&2; exit 2; }
done
command -v socat >/dev/null || { echo "bench/run.sh: socat is missing (scripts/install-deps.sh bench)" >&2; exit 2; }

# A private runtime folder: the single-instance lock and Qt's runtime files.
runtime="$(mktemp -d "${TMPDIR:-/tmp}/tarvix-bench-XDG-XXXXXX")"
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime"
export QT_QPA_PLATFORM=offscreen

rows="$(mktemp "$runtime/rows-XXXXXX")"
status=0
# Each program gets 240 s, or $limit seconds when set for that call.
run() {
  echo "bench: $*" >&2
  if ! timeout "${limit:-240}" "$@" >>"$rows"; then
    echo "bench: '$*' failed" >&2
    status=1
  fi
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
# The daemon: 300 latency samples, 30 s idle, 100,000 traced requests from
# 100 endpoints; then afresh, 200,000 from one endpoint.
run "$bin/tarvix-bench-reply" --program=tarvix-relayd "$bin" 300 30 100000 100 200000
# The reply path on the short road (--turnaround=0: the dispatcher waits on
# the device itself): its latency rows alone, no idle time and no load.
echo "bench: $bin/tarvix-bench-reply --relay-option=--turnaround=0 (latency rows)" >&2
if ! timeout 240 "$bin/tarvix-bench-reply" --relay-option=--turnaround=0 "$bin" 300 0 0 1 0 |
    grep '^| reply latency' >>"$rows"; then
  echo "bench: the reply latency with --turnaround=0 failed" >&2
  status=1
fi
# Both schedulers against the paced simulator: 300 round trips, 10 s of load per line speed.
run "$bin/tarvix-bench-wire" "$bin" 300 10
# Timing per device: 5 requests to a silent device, 10 broadcasts (5 without --no-reply-ids).
run "$bin/tarvix-bench-timing" "$bin" 5 10
run "$bin/tarvix-bench-inproc" overhead 250
run "$bin/tarvix-bench-inproc" intake
run "$bin/tarvix-bench-inproc" lookups 10000
run "$bin/tarvix-bench-inproc" memory
run "$bin/tarvix-bench-inproc" log
run "$bin/tarvix-bench-inproc" endpoints 100000 40 10
run "$bin/tarvix-bench-status" "$bin" 300
run "$bin/tarvix-bench-monitor" "$bin" 300
run "$bin/tarvix-bench-capture" 2000000
limit=420 run "$bin/tarvix-bench-inproc" traced-memory 1000000 100000
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "Tarvix relay benchmarks — $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(awk '/MemTotal/ {printf "%.1f GiB", $2/1048576}' /proc/meminfo); load average before $load_before, after $load_after"
echo
echo "| measure | relay | baseline (same run) | ratio | goal | met |"
echo "|---|---|---|---|---|---|"
cat "$rows"
exit $status
