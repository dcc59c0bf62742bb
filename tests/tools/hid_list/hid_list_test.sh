#!/usr/bin/env bash
# hid_list.exe run as a user would, in the build's prefix: arguments, exit
# codes and the table of Wine's own HID interfaces.
#   hid_list_test.sh WINE_RUN PREFIX HID_LIST_EXE
set -u
wine_run=$1 prefix=$2 exe=$3
failures=0
out=$(mktemp)

run() {  # run EXPECTED_EXIT ARGS...: runs, keeps stdout+stderr in $out
  local expected=$1; shift
  "$wine_run" --prefix "$prefix" -- "$exe" "$@" >"$out" 2>&1
  local rc=$?
  if [ "$rc" -ne "$expected" ]; then
    echo "FAIL: hid_list $* exited $rc, expected $expected; output:"; cat "$out"
    failures=$((failures + 1))
  fi
}
expect_output() {  # expect_output REGEX WHAT
  if ! grep -Eq "$1" "$out"; then
    echo "FAIL: $2: no line matching /$1/ in:"; cat "$out"
    failures=$((failures + 1))
  fi
}
refuse_output() {
  if grep -Eq "$1" "$out"; then
    echo "FAIL: $2: unexpected /$1/ in:"; cat "$out"
    failures=$((failures + 1))
  fi
}

run 0
expect_output '^VID +PID +VER +BUFS +IN +OUT +FEAT +MANUFACTURER +PRODUCT +SERIAL' "header"
expect_output '^845E 0001 [0-9A-F]{4} +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+  The Wine Project +Wine HID mouse' "Wine's mouse"
refuse_output '^1234 0001' "no LED board in a plain prefix"
echo "--- hid_list"; cat "$out"

run 0 845e:0001
expect_output '^845E 0001 ' "filter keeps the mouse"
refuse_output '^845E 0002 ' "filter drops the keyboard"

run 1 1234:0001
expect_output 'No HID device 1234:0001' "nothing-matched message"

# Upper-case digits are digits too, the last of them included.
run 1 FFFF:000F
expect_output 'No HID device FFFF:000F' "upper-case filter"

for bad in bogus 1234 12345:1 1234: :0001 12G4:0001 "1234:0001 extra"; do
  # shellcheck disable=SC2086
  run 2 $bad
  expect_output '^usage: hid_list' "usage for '$bad'"
done

run 0 --help
expect_output '^usage: hid_list \[VID:PID\]' "help"

rm -f "$out"
[ "$failures" -eq 0 ] && echo "hid_list: all checks passed"
exit $((failures > 0))
