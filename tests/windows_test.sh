#!/bin/sh
# The Windows programs under Wine, against the Linux build on the same inputs.
#
#   tests/windows_test.sh LINUX_BIN WINDOWS_BIN
#
# LINUX_BIN holds infodiv and windows_test_compare, WINDOWS_BIN infodiv.exe and
# infodiv-gui.exe. Everything runs in a throw-away Wine prefix with its own
# HOME and TMPDIR; the window runs on its own Xvfb display. Set
# WINDOWS_TEST_SCREENSHOT=FILE.png to keep a picture of Form1.
set -eu

linux_bin=$(cd "$1" && pwd)
windows_bin=$(cd "$2" && pwd)
compare="$linux_bin/windows_test_compare"
cd "$(dirname "$0")/.."
repo=$(pwd)

work=$(mktemp -d)
export HOME="$work/home" TMPDIR="$work/tmp" WINEPREFIX="$work/prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
mkdir -p "$HOME" "$TMPDIR"
xvfb_pid=""
holder_pid=""

cleanup() {
  status=$?
  if [ -n "$holder_pid" ]; then kill "$holder_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
check() {  # check NAME COMMAND...
  name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

echo "Wine prefix in $WINEPREFIX"
DISPLAY='' wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
temp="$WINEPREFIX/drive_c/temp"  # C:\temp
mkdir -p "$temp"

# A seeded matrix: integers, decimals and exponents in CR LF lines, wide
# enough for a few hundred triples.
random_input() {  # random_input SEED ROWS COLUMNS
  awk -v seed="$1" -v rows="$2" -v cols="$3" 'BEGIN {
    srand(seed)
    for (r = 0; r < rows; r++) {
      line = ""
      for (c = 0; c < cols; c++) {
        u = rand()
        if (u < 0.15) v = "0"
        else if (u < 0.6) v = sprintf("%d", int(rand() * 40))
        else if (u < 0.9) v = sprintf("%.3f", rand() * 25)
        else v = sprintf("%.2fE1", rand() * 3)
        line = line (c ? "," : "") v
      }
      printf "%s\r\n", line
    }
  }'
}

# Runs both command lines on the same input, each in its own folder with the
# input as "f3.txt" (a relative name, so both report the same place).
# The Linux build's files end up in $work/NAME, the Windows build's in C:\temp\NAME.
run_both() {  # run_both NAME INPUT_FILE|-
  lin="$work/$1"
  win="$temp/$1"
  rm -rf "$lin" "$win"
  mkdir -p "$lin" "$win"
  if [ "$2" != - ]; then cp "$2" "$lin/f3.txt" && cp "$2" "$win/f3.txt"; fi
  status=0
  (cd "$lin" && "$linux_bin/infodiv" -q f3.txt --out-dir . >out 2>err) || status=$?
  echo $status >"$lin/status"
  status=0
  (cd "$win" && wine "$windows_bin/infodiv.exe" -q f3.txt --out-dir . >"$lin/win-out" 2>"$lin/win-err-raw") ||
    status=$?
  echo $status >"$lin/win-status"
  # The Windows C runtime ends console lines in CR LF.
  tr -d '\r' <"$lin/win-err-raw" | grep -v '^it looks like wine32\|^multiarch\|^execute\|^apt-get' >"$lin/win-err" || true
}

same_results() {  # same_results NAME: result files alike, present or absent in both
  for f in results.txt results2.txt; do
    kind=triples
    [ "$f" = results2.txt ] && kind=columns
    if [ -f "$work/$1/$f" ] && [ -f "$temp/$1/$f" ]; then
      "$compare" "$kind" "$work/$1/$f" "$temp/$1/$f" || return 1
    elif [ -f "$work/$1/$f" ] || [ -f "$temp/$1/$f" ]; then
      echo "$f exists in one build only"
      return 1
    fi
  done
}

same_report() {  # same_report NAME: exit status and error line alike
  cmp -s "$work/$1/status" "$work/$1/win-status" && cmp -s "$work/$1/err" "$work/$1/win-err" && return 0
  echo "linux:   status $(cat "$work/$1/status"): $(cat "$work/$1/err")"
  echo "windows: status $(cat "$work/$1/win-status"): $(cat "$work/$1/win-err")"
  return 1
}

same_failure() { same_report "$1" && same_results "$1"; }

# --- The comparison itself ---------------------------------------------------

compares() {  # compares KIND LINUX_LINE WINDOWS_LINE pass|fail (lines in printf form)
  printf "$2" >"$work/compare-linux"
  printf "$3" >"$work/compare-windows"
  if "$compare" "$1" "$work/compare-linux" "$work/compare-windows" >/dev/null 2>&1; then got=pass; else got=fail; fi
  [ "$got" = "$4" ] || { echo "comparing '$2' with '$3' should $4"; return 1; }
}
comparison_cases() {
  line='1,2,3,0.5,1,1,1,2,2,2,3\r\n'
  compares triples "$line" "$line" pass &&
    compares triples "$line" '1,2,3,0.5,1.0000000000000002,1,1,2,2,2,3\r\n' pass &&  # 1 ulp
    compares triples "$line" '1,2,3,0.5,1.0000000000000007,1,1,2,2,2,3\r\n' fail &&  # 3 ulp
    compares triples "$line" '1,2,4,0.5,1,1,1,2,2,2,3\r\n' fail &&                   # no log
    compares triples "$line" '1,2,3,0.5000000000000009,1,1,1,2,2,2,3\r\n' pass &&   # 8 ulp < 32 ulp of 3
    compares triples "$line" '1,2,3,0.5000000000001,1,1,1,2,2,2,3\r\n' fail &&
    compares triples "$line" '1,2,3,0.5,1,1,1,2,2,2,3\n' fail &&                     # LF only
    compares triples "$line" '' fail &&
    compares columns '1,1,1,1,1,0.5,1,1,1,1,1,1,1,1\r\n' '1,1,1,1,1,0.5000000000000001,1,1,1,1,1,1,1,1\r\n' pass &&
    compares columns '1,1,1,1,1,0.5,1,1,1,1,1,1,1,1\r\n' '1,1,1,1,1,0.5,1,1,1,1,1,1,1,2\r\n' fail
}
check "comparison: log fields pass within their allowance, every other byte must match" comparison_cases

# --- The command line -------------------------------------------------------

random_input 11 40 12 >"$work/random.txt"
random_input 29 25 9 >"$work/random2.txt"
run_both example "$repo/examples/f3.txt"
check "command line: example, same results as Linux" same_results example
run_both random "$work/random.txt"
check "command line: seeded 40x12 matrix, same results as Linux" same_results random
# Proportions (89/106, 111/127, ...) whose natural logarithms from glibc and
# from the MinGW-w64 C library differ in the last bit.
printf '89,111,109,109,147,148,108,127\r\n17,16,35,43,13,19,79,60\r\n' >"$work/log-sensitive.txt"
run_both log-sensitive "$work/log-sensitive.txt"
check "command line: log-sensitive proportions, same results as Linux" same_results log-sensitive
# Subnormals, underflow to 0, long mantissas: the C library's number reading.
printf '1e-310,4e-324,2.2250738585072011e-308,0.1\r\n' >"$work/extremes.txt"
printf '123456789012345678901234567890,3.14159265358979323846264338327950288,1e-330,7\r\n' >>"$work/extremes.txt"
printf '0.000000000000000000000000000001,2.5e-320,9.999999999999999e22,1\r\n5,6,7,8\r\n' >>"$work/extremes.txt"
run_both extremes "$work/extremes.txt"
check "command line: extreme numbers, same results as Linux" same_results extremes

# Regional settings with "," as the decimal separator change nothing.
wine reg add 'HKCU\Control Panel\International' /v sDecimal /t REG_SZ /d , /f >/dev/null 2>&1
wine reg add 'HKCU\Control Panel\International' /v sThousand /t REG_SZ /d . /f >/dev/null 2>&1
wine reg add 'HKCU\Control Panel\International' /v LocaleName /t REG_SZ /d de-DE /f >/dev/null 2>&1
LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 run_both random-de "$work/random2.txt"
check "command line: German regional settings, same results as Linux" same_results random-de

# Errors: the same report (relative input name), status and partial results.
printf '1,2,3\r\n4,5\r\n' >"$work/ragged.txt"
printf '1,2,3\r\n4,1e400,6\r\n' >"$work/overflow.txt"
printf '' >"$work/empty.txt"
printf '0,1,2\r\n0,3,4\r\n' >"$work/zero-column.txt"
for case in ragged overflow empty zero-column; do
  run_both "$case" "$work/$case.txt"
  check "command line: $case input, same report and files as Linux" same_failure "$case"
done
run_both missing -
check "command line: missing input, same report as Linux" same_report missing

# Names beyond the ANSI code page reach the file system whole.
unicode="$temp/dätä€"
mkdir -p "$unicode"
cp "$repo/examples/f3.txt" "$unicode/f3.txt"
wine "$windows_bin/infodiv.exe" -q 'C:\temp\dätä€\f3.txt' --out-dir 'C:\temp\dätä€' >/dev/null 2>&1 || true
check "command line: non-ASCII folder name" \
  "$compare" columns "$work/example/results2.txt" "$unicode/results2.txt"
wine "$windows_bin/infodiv.exe" -q 'C:\temp\dätä€\none.txt' --out-dir 'C:\temp\dätä€' 2>"$work/unicode-err" || true
check "command line: non-ASCII name in the report" \
  grep -q '^infodiv: error: File not found at C:\\temp\\dätä€\\none.txt' "$work/unicode-err"

# A result file that cannot be deleted: read-only, or held open by another
# program (a command prompt appending to it while it waits for a line).
expect_error() {  # expect_error TEXT: run on C:\temp\lock, status 1 with TEXT
  wine "$windows_bin/infodiv.exe" -q 'C:\temp\lock\f3.txt' --out-dir 'C:\temp\lock' >/dev/null 2>"$work/lock-err" &&
    { echo "no error"; return 1; }
  tr -d '\r' <"$work/lock-err" | grep -qxF "infodiv: error: $1" && return 0
  cat "$work/lock-err"
  return 1
}
lock="$temp/lock"
mkdir -p "$lock"
cp "$repo/examples/f3.txt" "$lock/f3.txt"
printf 'old\r\n' >"$lock/results.txt"
chmod a-w "$lock/results.txt"
check "command line: read-only results.txt is a named error" \
  expect_error 'Permission denied at C:\temp\lock\results.txt'
chmod u+w "$lock/results.txt"
mkfifo "$work/holder-in"
wine cmd /c 'set /p line= >>C:\temp\lock\results.txt' <"$work/holder-in" >/dev/null 2>&1 &
holder_pid=$!
exec 7>"$work/holder-in"
# Wine's server keeps a descriptor of every file that a Windows program holds.
held() { find /proc/[0-9]*/fd -lname "$lock/results.txt" 2>/dev/null | grep -q .; }
tries=0
until held || [ $tries -ge 200 ]; do sleep 0.1; tries=$((tries + 1)); done
check "command line: results.txt open in another program is a named error" \
  expect_error 'Permission denied at C:\temp\lock\results.txt'
exec 7>&-
wait "$holder_pid" || true
holder_pid=""
rm -rf "$lock/results.txt"
mkdir "$lock/results.txt"
check "command line: a folder named results.txt is a named error" \
  expect_error 'Path/File access error at C:\temp\lock\results.txt'
rmdir "$lock/results.txt"
check "command line: missing output folder is a named error" \
  sh -c 'wine "$0" -q "C:\\temp\\lock\\f3.txt" --out-dir "C:\\temp\\none" 2>&1 | tr -d "\r" |
    grep -qxF "infodiv: error: Path not found at C:\\temp\\none\\results2.txt"' "$windows_bin/infodiv.exe"

# A write that fails half-way (here at a file size limit of 4096 bytes): the
# run stops with a named error and results.txt keeps only complete lines, the
# beginning of the Linux build's file. The Wine server starts first, outside
# the limit; the program ignores SIGXFSZ and sees the failed write instead.
full="$temp/full"
mkdir -p "$full"
cp "$repo/examples/f3.txt" "$full/f3.txt"
wineserver -p 30 2>/dev/null || true
status=0
(trap '' XFSZ; ulimit -f 4
 wine "$windows_bin/infodiv.exe" -q 'C:\temp\full\f3.txt' --out-dir 'C:\temp\full' 2>"$work/full-err") || status=$?
complete_lines_only() {
  size=$(wc -c <"$full/results.txt")
  [ "$size" -gt 0 ] && [ "$size" -le 4096 ] &&
    [ "$(tail -c 2 "$full/results.txt" | od -An -c | tr -d ' ')" = '\r\n' ] &&
    cmp -s "$full/results.txt" "$work/example/results.txt" -n "$size" || { echo "size $size"; return 1; }
}
check "command line: a failed write is a named error" \
  sh -c '[ "$0" = 1 ] && tr -d "\r" <"$1" | grep -qxF "infodiv: error: Device I/O error at C:\temp\full\results.txt"' \
  "$status" "$work/full-err"
check "command line: after a failed write results.txt ends in a complete line" complete_lines_only

# --- The window ---------------------------------------------------------------

# A Wine session keeps the display of its first program: end the one that the
# command line used, so that the window's session starts on the X server.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 5>&-
tries=0
until [ -s "$work/display" ] || [ $tries -ge 100 ]; do sleep 0.1; tries=$((tries + 1)); done
DISPLAY=":$(cat "$work/display")"
export DISPLAY

# Client area 3744 x 2496 twips and the buttons' centres, at Wine's 96 DPI.
client_size="250x166"
run_x=152 run_y=88    # left 1680 + 1212/2, top 1080 + 492/2 twips
quit_x=152 quit_y=128 # top 1680 + 492/2 twips

window=""
start_window() {
  rm -f "$work/gui-status"
  (cd "$temp"
   status=0
   wine "$windows_bin/infodiv-gui.exe" >/dev/null 2>"$work/gui-err" || status=$?
   echo $status >"$work/gui-status.new"
   mv "$work/gui-status.new" "$work/gui-status") &
  window=$(timeout 60 xdotool search --sync --name '^Form1$' | head -n 1)
  [ -n "$window" ]
}
# Waits for the window program to end; prints its exit status. (The status
# file, not the process: a caller in a subshell cannot reap it.)
window_status() {
  tries=0
  until [ -s "$work/gui-status" ] || [ $tries -ge 600 ]; do sleep 0.1; tries=$((tries + 1)); done
  if [ -s "$work/gui-status" ]; then cat "$work/gui-status"; else echo "still running"; fi
}
status_is() {
  actual=$(window_status)
  [ "$actual" = "$1" ] || { echo "exit status: $actual"; return 1; }
}
# Keys for Form1, with the pointer on its empty part (see the report below).
type_keys() { xdotool mousemove --window "$window" 10 10 windowfocus --sync "$window" key "$@"; }
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

# Run: the fixed paths, the same results as the Linux build.
rm -f "$temp"/results*.txt
cp "$work/random.txt" "$temp/f3.txt"
start_window
check "window: Form1 shows a client area of $client_size" \
  sh -c 'xdotool getwindowgeometry "$0" | grep -q "Geometry: $1\$"' "$window" "$client_size"
if [ -n "${WINDOWS_TEST_SCREENSHOT:-}" ]; then
  sleep 0.5
  import -window "$window" "$WINDOWS_TEST_SCREENSHOT" && echo "screenshot: $WINDOWS_TEST_SCREENSHOT"
fi
click $run_x $run_y
check "window: Run ends the program with status 0" status_is 0
check "window: results.txt as on Linux" "$compare" triples "$work/random/results.txt" "$temp/results.txt"
check "window: results2.txt as on Linux" "$compare" columns "$work/random/results2.txt" "$temp/results2.txt"

# Quit, Alt+F4 and the keyboard: nothing is created, deleted or changed.
untouched() { cmp -s "$work/sentinel" "$temp/results.txt" && cmp -s "$work/sentinel" "$temp/results2.txt"; }
printf 'earlier\r\n' >"$work/sentinel"
rm -f "$temp"/results*.txt
start_window
click $quit_x $quit_y
check "window: Quit ends the program with status 0" status_is 0
check "window: Quit leaves no result file" test ! -e "$temp/results.txt" -a ! -e "$temp/results2.txt"
cp "$work/sentinel" "$temp/results.txt"
cp "$work/sentinel" "$temp/results2.txt"
start_window
type_keys alt+F4
check "window: closing ends the program with status 0" status_is 0
check "window: closing leaves the result files alone" untouched
# Run holds the focus: Return and Escape do nothing (no default or cancel
# button), Tab moves to Quit, Space presses it.
start_window
type_keys Return Escape
sleep 1
check "window: Return and Escape do nothing" test ! -e "$work/gui-status"
xdotool key Tab
sleep 0.3
xdotool key space
check "window: Tab then Space presses Quit" status_is 0
check "window: Quit by keyboard leaves the result files alone" untouched

# An error: the report names it and where; Return dismisses it; status 1.
rm -f "$temp"/results*.txt
cp "$work/ragged.txt" "$temp/f3.txt"
start_window
click $run_x $run_y
report=$(timeout 60 xdotool search --sync --name '^infodiv$' | head -n 1)
check "window: an error shows a report" test -n "$report"
# Without a window manager, keys go to the window under the pointer: rest it
# on the report's text, away from its button. Press again should the first
# Return come before the report takes keys.
tries=0
while [ -n "$report" ] && [ ! -e "$work/gui-status" ] && [ $tries -lt 10 ]; do
  xdotool mousemove --window "$report" 20 20 windowfocus --sync "$report" key Return 2>/dev/null || true
  sleep 1
  tries=$((tries + 1))
done
check "window: after an error report the status is 1" status_is 1
on_stderr() { tr -d '\r' <"$work/gui-err" | grep -qxF "$1"; }
check "window: the error is also on stderr" \
  on_stderr 'infodiv-gui: error: Subscript out of range at C:\temp\f3.txt line 2, field 3'
check "window: after an error results2.txt is as on Linux" \
  "$compare" columns "$work/ragged/results2.txt" "$temp/results2.txt"

# At 144 DPI the same twips make a client area of 374 x 250 pixels, and Quit's
# centre moves to 228, 192 (left 168 + 121/2, top 168 + 49/2).
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
start_window
check "window: at 144 DPI Form1 shows a client area of 374x250" \
  sh -c 'xdotool getwindowgeometry "$0" | grep -q "Geometry: 374x250\$"' "$window"
click 228 192
check "window: at 144 DPI Quit is where the twips put it" status_is 0

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
