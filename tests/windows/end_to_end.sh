#!/usr/bin/env bash
# zorvant.exe under Wine on real files: conversions, the silent ends, the argument text, and the
# failures an operator meets on Windows. Usage: end_to_end.sh ZORVANT_EXE TEST_HELPER_EXE
set -uo pipefail
shopt -s nullglob
zorvant=$1
helper=$2
wine_run="$(cd "$(dirname "$0")" && pwd)/wine-run"
wine() { timeout 60 "$wine_run" "$@"; }  # a run that hangs fails its test instead
work=$(mktemp -d "${TMPDIR:-/tmp}/zorvant-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # DESCRIPTION COMMAND...: one expectation
  if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1" >&2; fi
}
same() {  # FILE EXPECTED: byte for byte
  cmp -s "$1" "$2" || { diff <(od -c "$1") <(od -c "$2") | head >&2; false; }
}
equal() { [ "$1" = "$2" ] || { printf 'got:      %q\nexpected: %q\n' "$1" "$2" >&2; false; }; }
framed() { [[ $1 == "$2"*"$3" ]] || { printf 'got: %q\n' "$1" >&2; false; }; }  # TEXT START END
only_files() {  # FOLDER NAME...: the folder holds exactly these (hidden ones included)
  equal "$(cd "$1" && ls -A | LC_ALL=C sort)" "$(printf '%s\n' "${@:2}" | LC_ALL=C sort)"
}
win() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }  # Wine's name for a Linux path

# Runs zorvant.exe with Wine's quoting of the arguments; sets $status and $report, the report
# line without its CR LF.
zorvant() { wine "$zorvant" "$@" 2>"$work/report"; took_report; }
# Runs a command line exactly as given.
zorvant_line() { wine "$helper" run "$1" 2>"$work/report"; took_report; }
took_report() {
  status=$?
  report=$(<"$work/report")
  [ -z "$report" ] || [ "$(tail -c2 "$work/report" | od -An -c)" = "  \r  \n" ] || report+=" (no CR LF)"
  report=${report%$'\r'}
}
helper() { wine "$helper" "$@"; }

# Holds file $2 from another Windows process ($1: "hold" or "lock") while running "${@:3}".
while_held() {
  local marker="$work/held.marker"
  helper "$1" "$(win "$2")" "$(win "$marker")" &
  local holder=$!
  for _ in $(seq 300); do [ -e "$marker" ] && break; sleep 0.1; done
  "${@:3}"
  rm -f "$marker"
  wait "$holder"
}

# Records of 256 characters; $kanji is one Shift_JIS double-byte character.
kanji=$'\x8a\xbf'
record() { printf '%s%s' "$1" "$(printf "%$((256 - $2))s" '' | tr ' ' "$3")"; }  # TEXT CHARS FILL
r1="$(record "0001100${kanji}" 8 a)"      # type 1, a double-byte character among its first 8
r2="$(record 00012 5 b)"                  # type 2
b() { printf "%$1s" '' | tr ' ' b; }
r2_filled_unmarked="$(record "00012$(b 24)-bbb-" 34 b)"  # "-" at 30 and 34
r2_filled_marked="$(record "00012$(b 43)-bbb-" 53 b)"    # "-" at 49 and 53
printf '%s%s\r\nlast\r\n' "$r1" "$r2" >"$work/input"
printf '%s\r\n%s\r\nlast\r\n' "$r1" "$r2_filled_unmarked" >"$work/unmarked.expected"
printf '%s\r\nlast\r\n' "$r1" >"$work/marked.expected"
printf 'old\r\n%s\r\n' "$r2_filled_marked" >"$work/split.expected"

fresh() { rm -rf "$work/d"; mkdir -p "$work/d"; }

# --- Conversions
fresh
cp "$work/input" "$work/d/plain.dat"
zorvant "$(win "$work/d/plain.dat")"
check "unmarked: exits 0 silently" equal "$status:$report" "0:"
check "unmarked: main output" same "$work/d/plain.dat.txt" "$work/unmarked.expected"
check "unmarked: input deleted, nothing else made" only_files "$work/d" plain.dat.txt

# A name with a blank and Japanese text, given relative to the current folder; Wine quotes it.
fresh
name=$'\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf 0502.dat'  # "data 0502.dat" in katakana
split=$'\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf 1101.dat.txt'
cp "$work/input" "$work/d/$name"
printf 'old\r\n' >"$work/d/$split"
(cd "$work/d" && zorvant "$name")
check "marked: exits 0 silently" equal "$status:$report" "0:"
check "marked: main output" same "$work/d/$name.txt" "$work/marked.expected"
check "marked: split output appended to" same "$work/d/$split" "$work/split.expected"
check "marked: input and undo record gone" only_files "$work/d" "$name.txt" "$split"

# A symbolic link given as the input: the link goes, the file it leads to stays. Wine shows a
# Unix link as the file itself, and deletes an open file by its own name.
fresh
cp "$work/input" "$work/d/target.dat"
ln -s target.dat "$work/d/link.dat"
zorvant "$(win "$work/d/link.dat")"
check "link input: exits 0 silently" equal "$status:$report" "0:"
check "link input: the link goes, its target stays" only_files "$work/d" link.dat.txt target.dat
check "link input: its target untouched" same "$work/d/target.dat" "$work/input"
# The same link to a read-only file: Wine would move a file over the link whatever it leads to,
# so only the program's own look at the attribute keeps a read-only input from going.
fresh
cp "$work/input" "$work/d/target.dat"
chmod a-w "$work/d/target.dat"
ln -s target.dat "$work/d/link.dat"
zorvant "$(win "$work/d/link.dat")"
check "link to a read-only input: the report" framed "$report" \
  "zorvant: cannot delete '$(win "$work/d/link.dat")': " " (error 5)"
check "link to a read-only input: the link stays" test -L "$work/d/link.dat"
chmod u+w "$work/d/target.dat"

# --- Long paths: a folder tree of more than 300 characters. Windows takes a path of 260 or more
# only in its \\?\ form, made absolute; Wine takes any, so what shows that the program does not
# count on that is Wine's trace of the paths it is handed.
fresh
long=$(printf 'l%.0s' {1..60})  # a name of 60 characters
deep="$work/d/$long/$long/$long/$long/$long"
mkdir -p "$deep/in0502" "$deep/in1101"
cp "$work/input" "$deep/in0502/A.dat"
printf 'old\r\n' >"$deep/in1101/A.dat.txt"
ZORVANT_WINEDEBUG=trace+file wine "$zorvant" "$(win "$deep/in0502/A.dat")" 2>"$work/trace"
check "long path: exits 0 silently" equal "$?:$(grep -v ':trace:' "$work/trace")" "0:"
check "long path: main output" same "$deep/in0502/A.dat.txt" "$work/marked.expected"
check "long path: split output in the 1101 folder" same "$deep/in1101/A.dat.txt" "$work/split.expected"
check "long path: input gone" only_files "$deep/in0502" A.dat.txt
check "long path: undo record gone" only_files "$deep/in1101" A.dat.txt
# Wine's trace cuts a path short after 200 characters: the tree's first folder is enough.
handed_over() {  # START: how many of the paths handed to Wine begin so
  grep -c -F "RtlDosPathNameToNtPathName_U_WithStatus (L\"${1//\\/\\\\}" "$work/trace"
}
check 'long path: handed over in its \\?\ form' \
  [ "$(handed_over "\\\\?\\$(win "$work/d/$long")")" -gt 0 ]
check "long path: never handed over as it is" equal "$(handed_over "$(win "$work/d/$long")")" 0
# A network path: no such server, so a silent end, after looking in the \\?\UNC\ form.
unc="\\\\server\\share\\$long\\$long\\$long\\$long\\$long\\A.dat"
ZORVANT_WINEDEBUG=trace+file wine "$zorvant" "$unc" 2>"$work/trace"
check "long network path: exits 0 silently" equal "$?:$(grep -v ':trace:' "$work/trace")" "0:"
check 'long network path: handed over in its \\?\UNC\ form' \
  [ "$(handed_over "\\\\?\\UNC\\server\\share\\$long")" -gt 0 ]
check "long network path: never handed over as it is" equal "$(handed_over "\\\\server")" 0

# --- The argument text: the exact command line, as Explorer or a script writes it
fresh
mkdir "$work/d/a folder"
cp "$zorvant" "$work/d/a folder/z.exe"
exe=$(win "$work/d/a folder/z.exe")
try_line() {  # yes|no FILE COMMAND_LINE: FILE is converted, or left alone
  cp "$work/input" "$work/d/$2"
  zorvant_line "$3"
  if [ "$1" = yes ]; then
    check "converted: $3" equal "$status:$report:$([ -e "$work/d/$2" ] || echo gone)" "0::gone"
  else
    check "left alone: $3" equal "$status:$report:$(cd "$work/d" && ls -d "$2" *.txt 2>&1)" "0::$2"
  fi
  rm -f "$work/d/$2"*
}
d=$(win "$work/d")
try_line yes "b 0.dat" "\"$exe\" \"$d\\b 0.dat\""
try_line yes "c  1.dat" "\"$exe\"   $d\\c  1.dat"
try_line no "f.dat" "\"$exe\" \"$d\\f.dat\" "
try_line no "i.dat" "\"$exe\" $d\\i.dat \"$d\\i.dat\""

# --- Silent ends: nothing to convert, nothing touched
fresh
for file in hidden.dat system.dat other.dat; do cp "$work/input" "$work/d/$file"; done
mkdir "$work/d/folder.dat"
helper attrib "$(win "$work/d/hidden.dat")" +h
helper attrib "$(win "$work/d/system.dat")" +s
for argument in "$d\\missing.dat" "$d\\folder.dat" "$d\\hidden.dat" "$d\\system.dat" "$d\\*.dat" \
                "$d\\other.?at" NUL ""; do
  zorvant "$argument"
  check "silent for '$argument'" equal "$status:$report" "0:"
done
check "silent ends touch nothing" only_files "$work/d" folder.dat hidden.dat system.dat other.dat

# --- Failures: one line on standard error, the input kept
fresh
cp "$work/input" "$work/d/locked.dat"
while_held hold "$work/d/locked.dat" zorvant "$d\\locked.dat"
check "locked input: reported" equal "$status:$report" \
  "1:zorvant: cannot open '$d\\locked.dat': in use by another run (error 32)"
check "locked input: nothing touched" only_files "$work/d" locked.dat

# Outputs that are files the run holds already (hard links) fail instead of waiting for ever on
# the run's own lock.
fresh
cp "$work/input" "$work/d/i.dat"
ln "$work/d/i.dat" "$work/d/i.dat.txt"
zorvant "$d\\i.dat"
check "main output that is the input: reported" equal "$status:$report" \
  "1:zorvant: cannot create '$d\\i.dat.txt': is the input itself (error 87)"
cp "$work/input" "$work/d/s0502.dat"
: >"$work/d/s0502.dat.txt"
ln "$work/d/s0502.dat.txt" "$work/d/s1101.dat.txt"
zorvant "$d\\s0502.dat"
check "split output that is the main output: reported" equal "$status:$report" \
  "1:zorvant: cannot append to '$d\\s1101.dat.txt': is the main output too (error 87)"
check "outputs that are held files: inputs kept" test -e "$work/d/i.dat" -a -e "$work/d/s0502.dat"

# A read-only marked input is converted but stays; once writable, a rerun appends only once.
fresh
cp "$work/input" "$work/d/ro0502.dat"
printf 'old\r\n' >"$work/d/ro1101.dat.txt"
helper attrib "$(win "$work/d/ro0502.dat")" +r
zorvant "$d\\ro0502.dat"
check "read-only input: reported" equal "$status" 1
check "read-only input: the report" framed "$report" "zorvant: cannot delete '$d\\ro0502.dat': " " (error 5)"
check "read-only input: outputs made, input kept" same "$work/d/ro0502.dat.txt" "$work/marked.expected"
helper attrib "$(win "$work/d/ro0502.dat")" -r
# Wine gives everyone write access to a file whose mode lets others write.
chmod o+w "$work/d/.ro1101.dat.txt.undo"
zorvant "$d\\ro0502.dat"
check "undo record others may write: refused" equal "$status:$report" \
  "1:zorvant: cannot trust '$d\\.ro1101.dat.txt.undo': writable by other users (error 5)"
chmod o-w "$work/d/.ro1101.dat.txt.undo"
zorvant "$d\\ro0502.dat"
check "rerun once writable: succeeds" equal "$status:$report" "0:"
check "rerun once writable: split records appended once" same "$work/d/ro1101.dat.txt" "$work/split.expected"
check "rerun once writable: input and undo record gone" only_files "$work/d" ro0502.dat.txt ro1101.dat.txt

# A split output that another run is writing: the run waits its turn, then appends. Meanwhile
# it holds its input against a second run.
fresh
cp "$work/input" "$work/d/w0502.dat"
printf 'old\r\n' >"$work/d/w1101.dat.txt"
waits_for_the_lock() {
  wine "$zorvant" "$d\\w0502.dat" &
  local run=$!
  sleep 2
  check "locked split output: the run waits" kill -0 "$run"
  zorvant "$d\\w0502.dat"
  check "the input of a waiting run: refused to a second run" equal "$status:$report" \
    "1:zorvant: cannot open '$d\\w0502.dat': in use by another run (error 32)"
  rm -f "$work/held.marker"
  wait "$run"
  check "locked split output: then succeeds" equal "$?" 0
}
while_held lock "$work/d/w1101.dat.txt" waits_for_the_lock
check "locked split output: appended after the wait" same "$work/d/w1101.dat.txt" "$work/split.expected"

# Started as Explorer starts it, without standard error: the report is a message box. Wine
# shows it on a virtual X display, with a Wine started anew for it and ended after it.
fresh
cp "$work/input" "$work/d/box.dat"
mkdir "$work/d/box.dat.txt"
if command -v xvfb-run >/dev/null; then
  "$wine_run" --stop
  box=$(timeout 120 xvfb-run -a "$wine_run" "$helper" box "$(win "$zorvant") $d\\box.dat" 2>"$work/box.err")
  status=$?
  "$wine_run" --stop
  check "no standard error: exits 1" equal "$status" 1
  check "no standard error: the report in a message box" \
    framed "$box" "zorvant: cannot create '$d\\box.dat.txt': " " (error 5)"
  check "no standard error: input kept" only_files "$work/d" box.dat box.dat.txt
else
  check "xvfb-run is installed (.ci/windows-setup installs it)" false
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
