#!/usr/bin/env bash
# Runs every benchmark and writes docs/performance.md: the program next to
# baselines, in one run, on this machine. Sets up and builds as the other
# commands do; the figures come from a fresh prefix with the virtual device.
# --quick measures only the exes and the start-up and writes nothing.
set -euo pipefail
quick=""
[ "${1:-}" = --quick ] && quick=--quick
cd "$(dirname "$0")/.."
source bench/prepare.sh bench bench-prefix hidled bench_probe bare_window watch_bench
# The other architecture's exe is built too, for its size beside this one.
other_arch=x86_64; [ "$arch" = x86_64 ] && other_arch=i686
other=$(tree_of "$other_arch")
cmake --preset "$(preset_of "$other_arch")" -B "$other" >/dev/null
cmake --build "$other" -j"$(nproc)" --target hidled
python3 bench/bench.py "$build/wine-run.sh" "$build" "$prefix" docs/performance.md "bash bench/run.sh" "$arch" \
  --exe-also "$other/app/hidled.exe" $quick
