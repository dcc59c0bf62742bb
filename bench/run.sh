#!/usr/bin/env bash
# Runs every benchmark and writes docs/performance.md: the program next to
# baselines, in one run, on this machine. Sets up and builds as the other
# commands do; the figures come from a fresh prefix with the virtual device.
# --quick measures only the exes and the start-up and writes nothing;
# --devices only the sections on misbehaving devices, and writes nothing;
# --watch only the device watch's section, which it replaces in the page.
# BENCH_BEFORE names an earlier revision (default 52b9c57, the last before
# notifications drove the device watch) whose program the full run builds in a
# scratch tree and measures beside this one.
set -euo pipefail
only=""
case "${1:-}" in --quick | --devices | --watch) only=$1 ;; esac
cd "$(dirname "$0")/.."
source bench/prepare.sh bench bench-prefix hidled bench_probe bare_window watch_bench
# The other architecture's exe is built too, for its size beside this one.
other_arch=x86_64; [ "$arch" = x86_64 ] && other_arch=i686
other=$(tree_of "$other_arch")
cmake --preset "$(preset_of "$other_arch")" -B "$other" >/dev/null
cmake --build "$other" -j"$(nproc)" --target hidled
before=()
watch=()
if [ "$only" != --quick ]; then
  rev=$(git rev-parse --short "${BENCH_BEFORE:-52b9c57}")
  scratch="$(realpath -m "$build/bench-before")"
  # The revision's files, not a worktree: the repository's own state stays as it is.
  if [ "$(cat "$scratch/revision" 2>/dev/null)" != "$rev" ]; then
    rm -rf "$scratch"
    mkdir -p "$scratch/src"
    git archive "$rev" | tar -x -C "$scratch/src"
    echo "$rev" >"$scratch/revision"
  fi
  (cd "$scratch/src" && cmake --preset "$(preset_of "$arch")" -B "$scratch/build" >/dev/null)
  cmake --build "$scratch/build" -j"$(nproc)" --target hidled
  before=(--before "$rev" "$scratch/build/app/hidled.exe")
fi
if [ -z "$only" ] || [ "$only" = --watch ]; then
  # The device watch's figures come from fresh prefixes of their own: every
  # device plugged stays registered in a prefix and slows later plugs there.
  for name in bench-watch-prefix bench-watch-many-prefix; do
    WINEPREFIX="$(realpath -m "$build/$name")" wineserver -k 2>/dev/null || true
    rm -rf "${build:?}/$name" "$build/$name.lock"
    bash tools/hidsim/make_prefix.sh "$build/wine-run.sh" "$build/$name" "$build/tools/hidsim/hidsim.exe"
  done
  watch=(--watch-prefixes "$build/bench-watch-prefix" "$build/bench-watch-many-prefix")
fi
python3 bench/bench.py "$build/wine-run.sh" "$build" "$prefix" docs/performance.md "bash bench/run.sh${only:+ $only}" "$arch" \
  --exe-also "$other/app/hidled.exe" "${before[@]}" "${watch[@]}" $only
