#!/usr/bin/env bash
# The chaos run: the program's own code with its HID calls failing at random
# (bench/hidled_chaos), against the virtual device plugged and unplugged at
# random while reports stream and real clicks arrive; after each quiet period
# it checks the program's state. Prints figures; exits non-zero only when a
# check failed or the run could not be made. Arguments go to bench/chaos.py
# (--seed N, --seconds N).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/prepare.sh chaos chaos-prefix hidled hidled_chaos bench_probe
python3 bench/chaos.py "$build/wine-run.sh" "$build" "$prefix" "$arch" "$@"
