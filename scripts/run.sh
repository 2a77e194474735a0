#!/usr/bin/env bash
# Starts the relay from the default build. Without a display it runs
# offscreen and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset): running offscreen."
fi
exec build/bin/tarvix-server "$@"
