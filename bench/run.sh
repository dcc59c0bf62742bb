#!/usr/bin/env bash
# Runs every benchmark and writes docs/performance.md: the program next to
# baselines, in one run, on this machine. Sets up and builds as the other
# commands do; the figures come from a fresh prefix with the virtual device.
# --quick measures only the exes and the start-up and writes nothing.
set -euo pipefail
quick=""
[ "${1:-}" = --quick ] && quick=--quick
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/setup.sh; else bash scripts/setup.sh || exit 1; fi
# The i686 program where this host runs 32-bit code, else the x86-64 one;
# TEST_ARCH=i686 or x86_64 picks one.
source scripts/arch.sh
choose_arches bench one
arch=$arches
build=$(tree_of "$arch")
cmake --preset "$(preset_of "$arch")" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hidled bench_probe hidsim hidsimbus hidsimhid bare_window watch_bench
# The other architecture's exe is built too, for its size beside this one.
other_arch=x86_64; [ "$arch" = x86_64 ] && other_arch=i686
other=$(tree_of "$other_arch")
cmake --preset "$(preset_of "$other_arch")" -B "$other" >/dev/null
cmake --build "$other" -j"$(nproc)" --target hidled
prefix="$build/bench-prefix"
# Hundreds of devices stay registered in a prefix and slow it: start clean.
WINEPREFIX="$(realpath -m "$prefix")" wineserver -k 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"
bash tools/hidsim/make_prefix.sh "$build/wine-run.sh" "$prefix" "$build/tools/hidsim/hidsim.exe"
python3 bench/bench.py "$build/wine-run.sh" "$build" "$prefix" docs/performance.md "bash bench/run.sh" "$arch" \
  --exe-also "$other/app/hidled.exe" $quick
