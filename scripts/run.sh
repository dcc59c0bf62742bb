#!/usr/bin/env bash
# The run command: installs what is missing, builds, makes a Wine prefix with
# the virtual HID device, and starts the program next to the simulator's
# control panel. With a display, a person uses both windows. Without one (a
# server, CI), it plays a short scenario on a private Xvfb, saves screenshots
# and prints their paths.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
else
  bash scripts/setup.sh || { echo "run: run 'sudo scripts/setup.sh' first" >&2; exit 1; }
fi

build=${BUILD_DIR:-build}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hidled app_probe hidsim hidsimbus hidsimhid
prefix="$build/run-prefix"
hidsim="$build/tools/hidsim/hidsim.exe"
run() { scripts/wine-run.sh --prefix "$prefix" -- "$@"; }

if [ -n "${DISPLAY:-}" ]; then
  bash tools/hidsim/make_prefix.sh scripts/wine-run.sh "$prefix" "$hidsim"
  echo "run: the program and the simulator's panel on $DISPLAY (prefix $prefix)"
  echo "run: tick 'Plugged in' in the panel to connect the device; hold its button to press the device's"
  run "$hidsim" &
  panel=$!
  run "$build/app/hidled.exe"
  kill "$panel" 2>/dev/null || true
  exit 0
fi

echo "run: no display; playing the scenario on a private Xvfb"
bash tools/hidsim/make_prefix.sh scripts/wine-run.sh "$prefix" "$hidsim"
python3 tests/app/app_e2e_test.py scripts/wine-run.sh "$build/app/hidled.exe" "$build/tests/app/app_probe.exe" \
  "$build/run" "$prefix" i686-w64-mingw32-objdump --scenario "$hidsim"
