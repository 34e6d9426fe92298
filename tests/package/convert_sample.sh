#!/usr/bin/env bash
# Converts a sample with a program unpacked from a package, as an operator's first run would:
# a marked input with a double-byte character, a continuation record to fill and a record of
# type 2 for a split output that already holds an earlier record.
#
#   convert_sample.sh PROGRAM WORK_FOLDER
set -euo pipefail
export LC_ALL=C

program="$1"
work="$2"
mkdir -p "$work"
source "$(dirname "$0")/package_test_lib.sh"

# A run of one character: repeat CHARACTER COUNT.
repeat() { printf "%*s" "$2" "" | tr ' ' "$1"; }

# A marked input: one line of three records, the first holding a double-byte character (which
# counts as one of its 256 characters), the second of type 2; then a line ending in a lone CR.
first="00011$(printf '\x82\xa0')$(repeat A 250)"
split="00022$(repeat B 251)"
last="00031$(repeat C 45)"
second_line="00041$(repeat D 251)"
folder="$work/data"
mkdir -p "$folder"
printf '%s%s%s\r\n%s\r' "$first" "$split" "$last" "$second_line" >"$folder/A0502.dat"
# The split output already holds records of an earlier input: they stay.
printf 'earlier record\r\n' >"$folder/A1101.dat.txt"

# Continuations are filled at 49 and 53 where both neighbours are not blank; the last record
# ends at 50, so it gets only the first fill.
printf '%s\r\n%s\r\n%s\r\n' "$first" "00031$(repeat C 43)-C" "$second_line" >"$work/expected_main"
printf 'earlier record\r\n%s\r\n' "00022$(repeat B 43)-BBB-$(repeat B 203)" >"$work/expected_split"

status=0
(cd "$folder" && "$program" A0502.dat) >"$work/stdout" 2>"$work/stderr" || status=$?
[ "$status" -eq 0 ] || fail "zorvant exited with $status: $(cat "$work/stderr")"
[ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] || fail "zorvant printed something"
[ ! -e "$folder/A0502.dat" ] || fail "the input was not deleted"
cmp "$work/expected_main" "$folder/A0502.dat.txt" || fail "main output differs"
cmp "$work/expected_split" "$folder/A1101.dat.txt" || fail "split output differs"
left="$(cd "$folder" && ls -A | tr '\n' ' ')"
[ "$left" = "A0502.dat.txt A1101.dat.txt " ] || fail "the folder holds: $left"

