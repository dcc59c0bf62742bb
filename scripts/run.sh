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

# The i686 program where this host runs 32-bit code, else the x86-64 one;
# TEST_ARCH=i686 or x86_64 picks one.
source scripts/arch.sh
choose_arches run one
arch=$arches
build=$(tree_of "$arch")
cmake --preset "$(preset_of "$arch")" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hidled app_probe hidsim hidsimbus hidsimhid
objdump=$(grep -E '^CMAKE_OBJDUMP:' "$build/CMakeCache.txt" | cut -d= -f2-)
prefix="$build/run-prefix"
hidsim="$build/tools/hidsim/hidsim.exe"
wine_run="$build/wine-run.sh"
run() { "$wine_run" --prefix "$prefix" -- "$@"; }

if [ -n "${DISPLAY:-}" ]; then
  bash tools/hidsim/make_prefix.sh "$wine_run" "$prefix" "$hidsim"
  echo "run: the program and the simulator's panel on $DISPLAY (prefix $prefix)"
  echo "run: tick 'Plugged in' in the panel to connect the device; hold its button to press the device's"
  run "$hidsim" &
  panel=$!
  run "$build/app/hidled.exe"
  kill "$panel" 2>/dev/null || true
  exit 0
fi

echo "run: no display; playing the scenario on a private Xvfb"
bash tools/hidsim/make_prefix.sh "$wine_run" "$prefix" "$hidsim"
python3 tests/app/app_e2e_test.py "$wine_run" "$build/app/hidled.exe" "$build/tests/app/app_probe.exe" \
  "$build/run" "$prefix" "$objdump" --scenario "$hidsim"
