#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a while on a scratch copy of its
# corpus, so the committed seeds never grow. One line per target; exits
# non-zero when any target crashed or could not run.
#   fuzz/run.sh [seconds-per-target] [target...]   (default 20 s, all targets)
# Crash inputs are kept in build/fuzz/artifacts/<target>/.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="$root/build/fuzz"
seconds="${1:-20}"
shift $(( $# > 0 ? 1 : 0 ))

# target and longest input: room past each input's own limits (128 datagram
# bytes, 255 token characters, frames up to 255 bytes in chunks).
declare -A max_len=(
  [fuzz_decode_request]=300
  [fuzz_reply_receiver]=1200
  [fuzz_commandline]=600
  [fuzz_long_options]=600
  [fuzz_dotted_quad]=64
  [fuzz_int_text]=64
  [fuzz_spin_edit]=64
)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_decode_request fuzz_reply_receiver fuzz_commandline fuzz_long_options fuzz_dotted_quad fuzz_int_text fuzz_spin_edit)

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
fi
cmake --build "$build" -j 2 >/dev/null || { cmake --build "$build" -j 1; exit 1; }

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=0
for t in "${targets[@]}"; do
  if [ -z "${max_len[$t]:-}" ]; then
    echo "$t: unknown target"; failed=1; continue
  fi
  corpus="$scratch/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  cp "$here/corpus/$t/"* "$corpus/" 2>/dev/null || true
  log="$build/artifacts/$t.log"
  "$build/bin/$t" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" >"$log" 2>&1
  rc=$?
  runs="$(grep -oE '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1)"
  cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1)"
  if [ $rc -eq 0 ]; then
    echo "$t: ok, ${runs:-?} runs in ${seconds}s, ${cov:-cov: ?}"
  else
    crash="$(grep -oE 'Test unit written to [^ ]+' "$log" | tail -1 | sed 's/Test unit written to //')"
    echo "$t: FAILED (exit $rc) ${crash:+input $crash, }log $log"
    failed=1
  fi
done
exit $failed
