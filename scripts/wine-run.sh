#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix of the build tree's own,
# with the ANSI code page 1251 and a display. CTest uses it as the emulator
# (through the build tree's wine-run.sh, which names the architecture).
#   wine-run.sh [--arch i686|x86_64] --prefix DIR --init              make the prefix if it is missing
#   wine-run.sh [--arch i686|x86_64] --prefix DIR -- program.exe ...  run a program in it
# i686 (the default) runs 32-bit Wine in a win32 prefix; x86_64 runs 64-bit
# Wine in a win64 prefix, which also works where the kernel cannot execute
# 32-bit code at all.
set -u

arch=i686
prefix=""
init=0
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --init) init=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] || { echo "wine-run: --prefix is required" >&2; exit 2; }
prefix=$(realpath -m "$prefix")  # Wine accepts only absolute prefixes

case "$arch" in
  # The loaders are called by path: /usr/bin/wine and /usr/bin/wineboot take
  # the 32-bit loader whenever wine32 is installed, and the wine64 package puts
  # no wine64 on PATH. /usr/bin/wineserver takes the 64-bit server whenever it
  # is installed, which serves prefixes of both kinds.
  i686) export WINEARCH=win32; loader=/usr/lib/wine/wine ;;
  x86_64) export WINEARCH=win64; loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run: unknown architecture '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac
export WINELOADER="$loader"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# LANG alone leaves Wine on code page 1252; LC_ALL selects 1251. It is set
# per Wine command: the glibc locale need not exist, and bash would complain.
in_locale() { env LC_ALL=ru_RU.UTF-8 "$@"; }

make_prefix() {
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
      rm -rf "$prefix"
      if ! in_locale "$loader" wineboot -i >"$prefix.boot.log" 2>&1; then
        echo "wine-run: could not make the $WINEARCH prefix $prefix:" >&2
        tail -5 "$prefix.boot.log" >&2
        exit 1
      fi
      # Programs run inside a Wine virtual desktop. Without a window manager
      # Wine waits up to two seconds for each top-level window to be withdrawn
      # from the X server, and draws no frames; inside a desktop it does neither.
      in_locale "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
      in_locale "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
      in_locale wineserver -w
      touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock" || exit 1
}

own_xvfb=""
cleanup() {
  if [ -n "$own_xvfb" ]; then
    kill "$own_xvfb" 2>/dev/null
    wait "$own_xvfb" 2>/dev/null
  fi
}
trap cleanup EXIT

ensure_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  # No display given: start a private one for this run and end it by PID.
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  own_xvfb=$!
  local n
  read -r n <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$n"
}

ensure_display
make_prefix
[ "$init" -eq 1 ] && exit 0

[ $# -gt 0 ] || { echo "wine-run: no program given" >&2; exit 2; }
in_locale "$loader" "$@"
rc=$?
cleanup
trap - EXIT
exit $rc
