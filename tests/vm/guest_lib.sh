# What the jobs of the shared-storage cases share, in every machine (sh): scenes, the outputs
# one clean run must leave, worked out here from the records and not by the program, and checks.
# The program is /host/bin/zorvant; the lock holder /host/bin/zorvant_lock_holder.
Z=/host/bin/zorvant
cr=$(printf '\r')
nl='
'

# record TYPE TEXT: one record of 256 characters.
record() { printf 'K000%s%0251d' "$1" "$2"; }
# The same as a continuation record of a marked input: a hyphen at characters 49 and 53, whose
# neighbours are digits.
continued() { record "$1" "$2" | sed 's/^\(.\{48\}\).\(...\).\(.*\)$/\1-\2-\3/'; }

# make_input LINES TEXT FILE: a marked input of LINES lines, three records a line (types 1, 2, 3).
make_input() {
  yes "$(record 1 "$2")$(record 2 "$2")$(record 3 "$2")$cr" | head -n "$1" >"$3"
}

# make_scene DIR [LINES]: the marked input DIR/d/0502/A.dat and a split output that already holds
# an earlier input's record.
make_scene() {
  rm -rf "$1"
  mkdir -p "$1/d/0502" "$1/d/1101"
  make_input "${2:-200}" 7 "$1/d/0502/A.dat"
  printf 'K0002 written by an earlier input\r\n' >"$1/d/1101/A.dat.txt"
}

# What one clean run of make_scene's input leaves: each record on a line of its own, types 1 and
# 3 in the main output, type 2 appended to the split output, the second and third filled.
expected_main() { yes "$(record 1 "$2")$cr$nl$(continued 3 "$2")$cr" | head -n "$(($1 * 2))"; }
expected_split_records() { yes "$(continued 2 "$2")$cr" | head -n "$1"; }

# leftovers DIR: whatever a run keeps only while it is not done, and NFS's names of files deleted
# while open.
leftovers() { find "$1" -name '.*.undo*' -o -name '.zorvant-*' -o -name '.nfs*' -o -name '*.new'; }

# converted_once DIR [LINES]: the scene holds exactly what one clean run leaves; says what differs.
converted_once() {
  lines=${2:-200}
  [ ! -e "$1/d/0502/A.dat" ] || { echo "the input is still there"; return 1; }
  expected_main "$lines" 7 | cmp -s - "$1/d/0502/A.dat.txt" ||
    { echo "the main output differs from one clean run"; return 1; }
  { printf 'K0002 written by an earlier input\r\n'; expected_split_records "$lines" 7; } |
    cmp -s - "$1/d/1101/A.dat.txt" ||
    { echo "the split output differs from one clean run: $(grep -c K0002 "$1/d/1101/A.dat.txt") records"; return 1; }
  found=$(leftovers "$1")
  [ -z "$found" ] || { echo "left behind: $found"; return 1; }
}

# kept DIR: the input byte for byte and the split output as before the run, or as after it.
kept() {
  make_input "${2:-200}" 7 /tmp/original
  cmp -s /tmp/original "$1/d/0502/A.dat" || { echo "the input changed"; return 1; }
}
