#!/usr/bin/env bash
# The run command: installs what is missing, builds, and starts the program in
# a Wine prefix of its own. With a display, a person uses the window. Without
# one (a server, CI), it plays a short scenario on a private Xvfb, saves
# screenshots and prints their paths.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
else
  bash scripts/setup.sh || { echo "run: run 'sudo scripts/setup.sh' first" >&2; exit 1; }
fi

build=${BUILD_DIR:-build}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hidled app_probe

if [ -n "${DISPLAY:-}" ]; then
  echo "run: starting the program on $DISPLAY (prefix $build/run-prefix)"
  exec scripts/wine-run.sh --prefix "$build/run-prefix" -- "$build/app/hidled.exe"
fi

echo "run: no display; playing the scenario on a private Xvfb"
python3 tests/app/app_e2e_test.py scripts/wine-run.sh "$build/app/hidled.exe" "$build/tests/app/app_probe.exe" "$build/run"
