#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix of the build tree's own,
# with the ANSI code page 1251 and a display. CTest uses it as the emulator
# (through the build tree's wine-run.sh, which names the architecture).
#   wine-run.sh [--arch i686|x86_64] --prefix DIR --init              make the prefix if it is missing
#   wine-run.sh [--arch i686|x86_64] --prefix DIR -- program.exe ...  run a program in it
#   ... --prefix DIR --dpi N --from BASE ...   DIR is a screen of N dots per inch (see dpi_prefix)
# i686 (the default) runs 32-bit Wine in a win32 prefix; x86_64 runs 64-bit
# Wine in a win64 prefix, which also works where the kernel cannot execute
# 32-bit code at all.
# Every prefix draws the controls in Windows' 8-point dialog font (see
# set_fonts below).
# VEL_LC_ALL runs the program (not the prefix's set-up) under another locale:
# VEL_LC_ALL=en_US.UTF-8 gives it the ANSI code page 1252.
set -u

arch=i686
prefix=""
init=0
dpi=""
base=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --dpi) dpi="$2"; shift 2 ;;
    --from) base="$2"; shift 2 ;;
    --init) init=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] || { echo "wine-run: --prefix is required" >&2; exit 2; }
[ -z "$dpi" ] || [ -n "$base" ] || { echo "wine-run: --dpi needs --from" >&2; exit 2; }
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

# The program's controls use DEFAULT_GUI_FONT, "MS Shell Dlg" 8 pt, which
# Windows draws in MS Sans Serif (13 pixels high, 5 wide on average); the
# window's layout is made for it. Wine substitutes "Tahoma" for "MS Shell
# Dlg", and rewrites that substitute whenever the prefix starts under another
# code page. This Wine build does not look in /usr/share/wine/fonts, where
# Debian's fonts-wine puts Wine's own fonts, so it finds no Tahoma and
# fontconfig hands out DejaVu Sans, a pixel wider a letter: the status line
# wraps out of its box, the label loses its "?", and the title-bar buttons,
# drawn from Marlett, show "0 1 r".
# So Wine's MS Sans Serif (its 96-dpi bitmap fonts, Cyrillic among them) and
# Marlett are linked into the prefix's Fonts folder, which Wine reads whole at
# every start, and Tahoma is replaced by MS Sans Serif through Wine's own
# Replacements key, which holds while no Tahoma is installed and which no
# code page change touches: nothing has to be applied again later.
# Of its bitmap fonts Wine loads only the current code page's by itself, so
# the Cyrillic MS Sans Serif is also listed under a name of its own: a program
# run under another code page that asks for Cyrillic (this one does) gets it.
wine_fonts=/usr/share/wine/fonts
prefix_fonts=(sserife.fon sserifee.fon sserifeg.fon sserifer.fon sserifet.fon marlett.ttf)

# True when the prefix has its fonts: the run-time check, file tests only.
fonts_in_place() {
  [ -f "$prefix/.fonts-ready-cyrillic" ] || return 1
  local f
  for f in "${prefix_fonts[@]}"; do
    [ -e "$prefix/drive_c/windows/Fonts/$f" ] || return 1
  done
}

set_fonts() {
  local f
  for f in "${prefix_fonts[@]}"; do
    if [ ! -e "$wine_fonts/$f" ]; then
      echo "wine-run: $wine_fonts/$f is missing (scripts/setup.sh installs fonts-wine):" \
           "texts are drawn in a wider font and do not fit" >&2
      return 0
    fi
  done
  mkdir -p "$prefix/drive_c/windows/Fonts"
  for f in "${prefix_fonts[@]}"; do
    ln -sfn "$wine_fonts/$f" "$prefix/drive_c/windows/Fonts/$f"
  done
  in_locale "$loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /d 'MS Sans Serif' /f \
    >/dev/null 2>&1 || return 0
  in_locale "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' \
    /v 'MS Sans Serif Cyrillic' /d sserifer.fon /f >/dev/null 2>&1 || return 0
  touch "$prefix/.fonts-ready-cyrillic"
}

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
      set_fonts
      in_locale wineserver -w
      touch "$prefix/.ready"
    elif ! fonts_in_place; then
      set_fonts  # a prefix made before the fonts were set up, or whose fonts went
    fi
  ) 9>"$prefix.lock" || exit 1
}

own_xvfb=""
cleanup() {
  # Ended only when no desktop of the prefix came to use it (see pick_display).
  if [ -n "$own_xvfb" ] && [ "$(desktop_display)" != "$DISPLAY" ]; then
    kill "$own_xvfb" 2>/dev/null
  fi
}
trap cleanup EXIT

# A prefix's wineserver keeps one desktop (explorer /desktop), which draws on
# the display of the program that started it; every later program's top-level
# windows are made inside the desktop's X window, which exists on that display
# only: a program on any other display fails at once with BadWindow. The
# server and desktop outlive the program that started them (they leave its
# process tree, so a time limit's kill does not end them), while a display
# started for that program, or by a script for its own run, goes with it.
# So a program runs on the display of its prefix's desktop; a desktop whose
# display is gone is ended with its server and started afresh.
desktop_display() {
  local environ pid
  for environ in $(grep -lzx "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${environ#/proc/}; pid=${pid%/environ}
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'explorer.exe /desktop' || continue
    tr '\0' '\n' <"$environ" 2>/dev/null | sed -n 's/^DISPLAY=//p'
    return 0
  done
}

display_alive() { DISPLAY="$1" xdpyinfo >/dev/null 2>&1; }

# A display of the prefix's own when none is given: it leaves this process's
# tree, so that no kill of this run takes it from under the desktop, and ends
# by itself once its last client (the desktop being one) has gone.
new_display=""
start_xvfb() {
  local fifo n
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  ( setsid Xvfb -displayfd 3 -terminate -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    echo $! >"$fifo.pid" )
  read -r n <"$fifo"
  own_xvfb=$(cat "$fifo.pid")
  rm -f "$fifo" "$fifo.pid"
  new_display=":$n"
}

pick_display() {
  local chosen
  exec 8>"$prefix.display.lock"
  flock 8
  chosen=$(desktop_display)
  if [ -n "$chosen" ] && ! display_alive "$chosen"; then
    in_locale wineserver -k 2>/dev/null
    in_locale wineserver -w 2>/dev/null
    chosen=""
  fi
  # A run that started just before this one has its program starting there,
  # its desktop not up yet.
  if [ -z "$chosen" ] && [ -f "$prefix.display" ]; then
    chosen=$(cat "$prefix.display")
    { [ -z "${DISPLAY:-}" ] || [ "$chosen" = "$DISPLAY" ]; } && display_alive "$chosen" || chosen=""
  fi
  if [ -z "$chosen" ]; then
    if [ -n "${DISPLAY:-}" ]; then chosen=$DISPLAY; else start_xvfb; chosen=$new_display; fi
  fi
  echo "$chosen" >"$prefix.display"
  export DISPLAY="$chosen"
  exec 8>&-
}
# Another screen: --dpi N makes the prefix a copy of the prefix BASE (made
# first, as every prefix is) whose LogPixels are N, with the dialog font
# Windows draws at N dots per inch in place of the 96-dpi one:
#   120  MS Sans Serif's 120-dpi bitmap set (sseriff*.fon), which Windows
#        installs with "large fonts": 16 pixels high for 8 points.
#   more Tahoma, an outline font. Windows has no bitmap set beyond 120 dpi and
#        draws MS Shell Dlg in the outline Microsoft Sans Serif, which Wine
#        does not have; Wine skips the 96-dpi set there (it would fall back to
#        DejaVu Sans) and the 120-dpi set stops at 20 pixels. Tahoma is
#        Windows' other dialog font (MS Shell Dlg 2), of the same 8-point
#        design size, and runs a little wider than MS Sans Serif scaled up.
# The copy links the base's files rather than copying its 700 MB: Wine
# writes no installed file in place, and it replaces the registry files
# whole, which are copied anyway.
dpi_fonts() {
  case "$dpi" in
    96) echo "${prefix_fonts[*]}" ;;
    120) echo sseriff.fon sseriffe.fon sseriffg.fon sseriffr.fon sserifft.fon marlett.ttf ;;
    *) echo tahoma.ttf marlett.ttf ;;
  esac
}

dpi_prefix() {
  [ -f "$prefix/.ready" ] && return 0
  "$0" --arch "$arch" --prefix "$base" --init || exit 1
  base=$(realpath -m "$base")
  (
    flock 9
    [ -f "$prefix/.ready" ] && exit 0
    rm -rf "$prefix"
    flock "$base.lock" sh -c 'cp -al "$1" "$2" && rm -f "$2"/*.reg "$2"/.*ready "$2/wineserver" && cp "$1"/*.reg "$2"/' \
      - "$base" "$prefix" || exit 1
    local fonts="$prefix/drive_c/windows/Fonts" f key
    rm -f "$fonts"/*
    for f in $(dpi_fonts); do ln -s "$wine_fonts/$f" "$fonts/$f"; done
    for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
      in_locale "$loader" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 || exit 1
    done
    in_locale wineserver -w
    touch "$prefix/.ready"
  ) 9>"$prefix.lock" || exit 1
}

pick_display
if [ -n "$dpi" ]; then dpi_prefix; else make_prefix; fi
[ "$init" -eq 1 ] && exit 0

[ $# -gt 0 ] || { echo "wine-run: no program given" >&2; exit 2; }
env LC_ALL="${VEL_LC_ALL:-ru_RU.UTF-8}" "$loader" "$@"
rc=$?
cleanup
trap - EXIT
exit $rc
