#!/usr/bin/env bash
# Makes (once) a Wine prefix with the virtual HID device's drivers installed.
#   make_prefix.sh WINE_RUN PREFIX HIDSIM_EXE
# The drivers come back by themselves whenever the prefix's wineserver starts.
set -u
wine_run=$1 prefix=$(realpath -m "$2") hidsim=$3
"$wine_run" --prefix "$prefix" --init || exit 1
if [ ! -f "$prefix/.hidsim-ready" ]; then
  # The INF and drivers are installed from the folder hidsim.exe lives in.
  "$wine_run" --prefix "$prefix" -- "$hidsim" install || { echo "hidsim install failed" >&2; exit 1; }
  touch "$prefix/.hidsim-ready"
fi
# Installing copies the drivers once; a rebuilt one replaces them, after the
# prefix's server (which has the old ones loaded) has ended.
built=$(dirname "$(realpath "$hidsim")") installed="$prefix/drive_c/windows/system32/drivers"
for driver in hidsimbus.sys hidsimhid.sys; do
  if [ -f "$installed/$driver" ] && ! cmp -s "$built/$driver" "$installed/$driver"; then
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null; WINEPREFIX="$prefix" wineserver -w 2>/dev/null
    cp "$built/$driver" "$installed/$driver" && cp "$built/$driver" "$prefix/drive_c/windows/inf/$driver" || exit 1
  fi
done
"$wine_run" --prefix "$prefix" -- "$hidsim" status >/dev/null || { echo "simulator not answering" >&2; exit 1; }
