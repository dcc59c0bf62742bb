#!/usr/bin/env bash
# Rapid unplug/plug rounds against the real program (bench/rapid_cycles.py):
# sets up and builds as the other commands do, makes a fresh prefix with the
# virtual device, and prints the figures. Arguments go to the script
# (--rounds N, --cycles N, --seed N).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/prepare.sh rapid_cycles rapid-prefix hidled app_probe
python3 bench/rapid_cycles.py "$build/wine-run.sh" "$build" "$prefix" "$@"
