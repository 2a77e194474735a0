#!/usr/bin/env bash
# Starts the relay from the default build against the bundled bus simulator:
# the simulator plays devices 1, 5 and 7 on a pseudo-terminal published as
# COM1 in a temporary port folder, and the relay opens it with -c1. Extra
# arguments go to the relay. With a display that is the window program;
# without one it is the daemon tarvix-relayd, whose log lines appear here,
# after a timestamp.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin

relay="$bin/tarvix-server"
stop="Close the window (or press Ctrl-C here) to stop."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  relay="$bin/tarvix-relayd"
  stop="Press Ctrl-C here to stop."
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset): running the daemon tarvix-relayd, the log follows here."
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
echo "$stop"
TARVIX_COM_DIR="$ports" "$relay" -c1 "$@"
