#!/usr/bin/env bash
# The one test command: installs what is missing, builds both programs (i686,
# the one we ship, and x86-64), and runs every test under Wine with a display
# of its own (unless DISPLAY is already given), for each architecture this
# host can run: both where it executes 32-bit code, x86-64 alone where it
# cannot. TEST_ARCH=i686 or x86_64 tests one. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
else
  bash scripts/setup.sh || { echo "test: run 'sudo scripts/setup.sh' first" >&2; exit 1; }
fi

source scripts/arch.sh
choose_arches test all

# Both programs are built in every run, whichever of them this host can run.
for arch in i686 x86_64; do
  tree=$(tree_of $arch)
  cmake --preset "$(preset_of $arch)" -B "$tree" -DVEL_MODULES="${VEL_MODULES:-}" >/dev/null
  cmake --build "$tree" -j"$(nproc)"
done

xvfb_pid=""
stop() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap stop EXIT

if [ -z "${DISPLAY:-}" ]; then
  fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r n <"$fifo"; rm -f "$fifo"
  export DISPLAY=":$n"
  echo "test: Xvfb on $DISPLAY (pid $xvfb_pid)"
fi

passed=0 failed=0 status=0
for arch in $arches; do
  tree=$(tree_of $arch)
  echo "test: $arch suite ($tree)"
  log="$tree/ctest.log"
  start=$SECONDS
  ctest --test-dir "$tree" --output-on-failure -j"$(nproc)" "$@" 2>&1 | tee "$log" || status=1
  echo "test: $arch suite took $((SECONDS - start)) s"
  # The prefixes' servers belong to this run: end them with the suite.
  for p in "$tree"/wineprefix* "$tree"/hidsim-*; do
    [ -d "$p" ] && WINEPREFIX="$(realpath "$p")" wineserver -k 2>/dev/null || true
  done
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    status=1
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || status=1
done
echo "test: architectures tested: $arches"
echo "$passed passed, $failed failed"
exit $status
