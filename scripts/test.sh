#!/usr/bin/env bash
# The one test command: installs what is missing, builds, and runs every test
# under Wine with a display of its own (unless DISPLAY is already given).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
else
  bash scripts/setup.sh || { echo "test: run 'sudo scripts/setup.sh' first" >&2; exit 1; }
fi

build=${BUILD_DIR:-build}
cmake --preset default -B "$build" -DVEL_MODULES="${VEL_MODULES:-}" >/dev/null
cmake --build "$build" -j"$(nproc)"

xvfb_pid=""
stop() {
  if [ -n "$xvfb_pid" ]; then
    WINEPREFIX="$PWD/$build/wineprefix" wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap stop EXIT

if [ -z "${DISPLAY:-}" ]; then
  fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r n <"$fifo"; rm -f "$fifo"
  export DISPLAY=":$n"
  echo "test: Xvfb on $DISPLAY (pid $xvfb_pid)"
fi

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
