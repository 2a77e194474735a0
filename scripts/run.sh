#!/usr/bin/env bash
# Starts the relay from the default build against the bundled bus simulator:
# the simulator plays devices 1, 5 and 7 on a pseudo-terminal published as
# COM1 in a temporary port folder, and the relay opens it with -c1. Extra
# arguments go to the relay. Without a display the relay runs headless: its
# log lines then appear here, after a timestamp.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset): running headless, the log follows here."
fi

ports=$(mktemp -d /tmp/tarvix-run-XXXXXX)
"$bin/tarvix-bus-sim" --port-dir "$ports" --com 1 --ids 1,5,7 &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -rf "$ports"
}
trap cleanup EXIT INT TERM

for _ in $(seq 100); do [ -e "$ports/COM1" ] && break; sleep 0.05; done
[ -e "$ports/COM1" ] || { echo "The bus simulator did not come up." >&2; exit 1; }

echo
echo "The relay is starting on UDP port 3776 with the simulated bus as COM1."
echo "In another terminal, send a request and see the reply:"
echo
echo "    $bin/tarvix-send --id 5 --payload 112233"
echo
echo "Close the window (or press Ctrl-C here) to stop."
TARVIX_COM_DIR="$ports" "$bin/tarvix-server" -c1 "$@"
