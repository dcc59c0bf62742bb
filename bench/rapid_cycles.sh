#!/usr/bin/env bash
# Rapid unplug/plug rounds against the real program (bench/rapid_cycles.py):
# sets up and builds as the other commands do, makes a fresh prefix with the
# virtual device, and prints the figures. Arguments go to the script
# (--rounds N, --cycles N, --seed N).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/setup.sh; else bash scripts/setup.sh || exit 1; fi
# The i686 program where this host runs 32-bit code, else the x86-64 one;
# TEST_ARCH=i686 or x86_64 picks one.
source scripts/arch.sh
choose_arches rapid_cycles one
build=$(tree_of "$arches")
cmake --preset "$(preset_of "$arches")" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hidled app_probe hidsim hidsimbus hidsimhid
prefix="$build/rapid-prefix"
# Every removed device stays registered in a prefix and slows later plugs: start clean.
WINEPREFIX="$(realpath -m "$prefix")" wineserver -k 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"
bash tools/hidsim/make_prefix.sh "$build/wine-run.sh" "$prefix" "$build/tools/hidsim/hidsim.exe"
python3 bench/rapid_cycles.py "$build/wine-run.sh" "$build" "$prefix" "$@"
