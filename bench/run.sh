#!/usr/bin/env bash
# Runs every benchmark and writes docs/performance.md: the program next to
# baselines, in one run, on this machine. Sets up and builds as the other
# commands do; the figures come from a fresh prefix with the virtual device.
# --quick measures only the exes and the start-up and writes nothing;
# --devices only the sections on misbehaving devices, and writes nothing.
# BENCH_BEFORE names an earlier revision (default f06af6f) whose program the
# full run builds in a scratch tree and measures beside this one against
# misbehaving devices.
set -euo pipefail
only=""
case "${1:-}" in --quick | --devices) only=$1 ;; esac
cd "$(dirname "$0")/.."
source bench/prepare.sh bench bench-prefix hidled bench_probe bare_window watch_bench
# The other architecture's exe is built too, for its size beside this one.
other_arch=x86_64; [ "$arch" = x86_64 ] && other_arch=i686
other=$(tree_of "$other_arch")
cmake --preset "$(preset_of "$other_arch")" -B "$other" >/dev/null
cmake --build "$other" -j"$(nproc)" --target hidled
before=()
if [ "$only" != --quick ]; then
  rev=$(git rev-parse --short "${BENCH_BEFORE:-f06af6f}")
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
python3 bench/bench.py "$build/wine-run.sh" "$build" "$prefix" docs/performance.md "bash bench/run.sh" "$arch" \
  --exe-also "$other/app/hidled.exe" "${before[@]}" $only
