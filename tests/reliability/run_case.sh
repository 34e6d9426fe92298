#!/usr/bin/env bash
# Failures, kills, signals and concurrent runs against the real program on real files.
# Usage: run_case.sh PROGRAM CASE. Each case checks that after whatever happened, and a plain
# retry where the input is still there, the folder holds exactly what one clean run leaves.
set -uo pipefail
set -m  # background runs must receive SIGINT like any other signal
zorvant=$1
case_name=$2
# Plays another run that holds a file (its lock taken as a run takes it).
lock_holder=${ZORVANT_LOCK_HOLDER:-$(dirname "$zorvant")/tests/zorvant_lock_holder}
# A sanitizer build cannot check for leaks under strace (ptrace), and would add its complaint to
# the one-line report; the other tests check for leaks.
export ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }

# A marked input of three records a line (types 1, 2, 3), $1 lines, record text $2, so that its
# split output receives one record a line.
make_input() {
  local line
  line=$(printf "K0001%0251dK0002%0251dK0003%0251d" "$2" "$2" "$2")
  line+=$'\r\n'
  local i
  : >"$3"
  for ((i = 0; i < $1; i += 100)); do printf "$line%.0s" $(seq 100) >>"$3"; done
}

readonly earlier=$'K0002 written by an earlier input\r\n'

# Lays out a scene in folder $1: the marked input d/0502/A.dat and a split output that already
# holds an earlier input's record.
make_scene() {
  mkdir -p "$1/d/0502" "$1/d/1101"
  make_input "${lines:-300}" 7 "$1/d/0502/A.dat"
  printf '%s' "$earlier" >"$1/d/1101/A.dat.txt"
}

# Every file below $1 with a checksum of its content; undo records and pins are bookkeeping and
# left out (a pin stays where a run deleted its input but could not make that durable).
state() {
  (cd "$1" && find . -type f ! -name '.*.undo' ! -name '.zorvant-*.converted' -print0 |
    sort -z | xargs -0 -r md5sum)
}

clean_state() {
  make_scene "$work/clean"
  "$zorvant" "$work/clean/d/0502/A.dat" || fail "a clean run failed"
  state "$work/clean"
}

# After a failed or killed run in scene $1: retry if the input is still there, then compare.
# A run killed between moving its input aside and deleting it leaves the input under its aside
# name, which the operator may delete: it must be the input, whole.
retry_and_compare() {
  if [ -e "$1/d/0502/A.dat" ]; then
    "$zorvant" "$1/d/0502/A.dat" || fail "the retry failed ($2)"
  fi
  local aside
  for aside in "$1"/d/0502/.zorvant-*.deleting; do
    [ -e "$aside" ] || continue
    make_input "${lines:-300}" 7 "$work/input"
    cmp -s "$aside" "$work/input" || fail "a file moved aside is not the input ($2)"
    rm "$aside"
  done
  [ "$(state "$1")" == "$expected" ] || fail "the state after a retry differs from one clean run ($2)"
}

# After a failure: the input byte for byte, and no partial records in the split output.
check_kept() {
  [ -e "$1/d/0502/A.dat" ] || return 0
  cmp -s "$1/d/0502/A.dat" "$work/original" || fail "the input changed ($2)"
  local split
  split=$(md5sum <"$1/d/1101/A.dat.txt")
  [ "$split" == "$(printf '%s' "$earlier" | md5sum)" ] ||
    [ "$split" == "$(md5sum <"$work/clean/d/1101/A.dat.txt")" ] ||
    fail "the split output holds partial records ($2)"
}

# The run that wrote $work/report ended with status $1: it must have failed with exactly the
# one line $2 ($3 names the check).
failed_with() {
  [ "$1" -eq 1 ] || fail "$3: exit status $1"
  [ "$(cat "$work/report")" == "$2" ] || fail "$3: report: $(cat "$work/report")"
}

# Waits until the run traced into file $1 has entered a system call matching $2: strace writes
# a call down before the delay it injects, so whatever is done next happens inside that call.
wait_for_call() {
  local tries
  for ((tries = 0; tries < 1000; tries++)); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.01
  done
  fail "the run never called $2: $(tail -3 "$1" 2>&1)"
}

expected=$(clean_state)
make_input "${lines:-300}" 7 "$work/original"

case "$case_name" in
faults)
  # Each file system call fails in turn, from the first to the last the run makes.
  # strace counts each thread's calls apart, and the outputs are written by a thread of their
  # own: writes are failed only on the outputs and the undo record, never on the report itself.
  only_files() {
    [ "$1" = write ] || return 0
    echo -P "$2/d/0502/A.dat.txt" -P "$2/d/1101/A.dat.txt" -P "$2/d/1101/.A.dat.txt.undo.new" \
      -P "$2/d/1101/.A.dat.txt.undo"
  }
  for call in openat read write fsync close ftruncate fcntl rename renameat2 unlinkat linkat; do
    # shellcheck disable=SC2046
    count=$(make_scene "$work/count" && strace -f -qq -o /dev/stdout -e trace="$call" \
      $(only_files "$call" "$work/count") "$zorvant" "$work/count/d/0502/A.dat" | grep -c "$call(")
    rm -rf "$work/count"
    for ((n = 1; n <= count; n++)); do
      scene="$work/$call-$n"
      make_scene "$scene"
      # shellcheck disable=SC2046
      strace -f -qq -o /dev/null -e trace="$call" -e inject="$call:error=EIO:when=$n" \
        $(only_files "$call" "$scene") "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
      status=$?
      [ $status -eq 0 ] || [ -s "$work/report" ] || fail "$call #$n: failed without a report"
      # Looked for before the retry, which would remove it.
      [ ! -e "$scene/d/1101/.A.dat.txt.undo.new" ] || fail "$call #$n: a half-made record was left"
      check_kept "$scene" "$call #$n"
      retry_and_compare "$scene" "$call #$n"
      rm -rf "$scene"
    done
    echo "$call: $count calls failed in turn"
  done

  # No thread to be had (a process limit): the run goes on in one thread, and converts.
  scene="$work/no-thread"
  make_scene "$scene"
  strace -f -qq -o /dev/null -e trace=clone,clone3 -e inject=clone3:error=ENOSYS \
    -e inject=clone:error=EAGAIN "$zorvant" "$scene/d/0502/A.dat" || fail "no thread: status $?"
  retry_and_compare "$scene" "no thread"
  ;;
kill)
  # Killed at random moments of a run, then retried. 12000 lines are some 9 MiB: the outputs are
  # written on threads of their own, and even in memory a run lasts long enough for most kills
  # to land before it ends.
  lines=12000
  expected=$(rm -rf "$work/clean" && clean_state)
  # Kill moments are drawn from the length of one whole run on this machine, however fast.
  make_scene "$work/timed"
  start=$(date +%s%N)
  "$zorvant" "$work/timed/d/0502/A.dat"
  run_us=$((($(date +%s%N) - start) / 1000 + 1))
  killed=0
  for round in $(seq 30); do
    scene="$work/round-$round"
    make_scene "$scene"
    "$zorvant" "$scene/d/0502/A.dat" &
    at_us=$(((RANDOM * 32768 + RANDOM) % run_us))
    sleep "$((at_us / 1000000)).$(printf '%06d' $((at_us % 1000000)))"
    kill -9 $! 2>/dev/null
    wait $! 2>/dev/null
    [ $? -ne 137 ] || killed=$((killed + 1))
    retry_and_compare "$scene" "kill round $round"
    rm -rf "$scene"
  done
  echo "$killed of 30 runs were killed before they finished"
  [ $killed -ge 5 ] || fail "too few runs were killed to show anything"
  ;;
signals)
  # A signal while the run waits for its outputs to reach the disk: the split output is taken
  # back, the input stays, and the program ends with the signal's own status.
  for signal in TERM INT HUP; do
    scene="$work/$signal"
    make_scene "$scene"
    strace -f -q -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=400000 \
      "$zorvant" "$scene/d/0502/A.dat" &
    sleep 0.5
    kill -s "$signal" "$(pgrep -P $! -x zorvant || echo $!)"
    wait $!
    status=$?
    [ $status -eq $((128 + $(kill -l "$signal"))) ] || fail "SIG$signal: exit status $status"
    # The shell tells an exit with that status from death by the signal only through a tracer.
    grep -q "+++ killed by SIG$signal " "$scene.trace" || fail "SIG$signal: $(tail -1 "$scene.trace")"
    cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "SIG$signal: the input changed"
    printf '%s' "$earlier" | cmp -s - "$scene/d/1101/A.dat.txt" || fail "SIG$signal: split not taken back"
    retry_and_compare "$scene" "SIG$signal"
  done
  # A signal while the run waits for an output that another program holds locked: the wait
  # ends at once, not when the other program lets go.
  scene="$work/waiting"
  make_scene "$scene"
  "$lock_holder" output "$scene/d/0502/A.dat.txt" >/dev/null &
  holder=$!
  sleep 0.3
  "$zorvant" "$scene/d/0502/A.dat" &
  sleep 0.3
  kill -s TERM $!
  start=$(date +%s%N)
  wait $!
  status=$?
  waited_ms=$((($(date +%s%N) - start) / 1000000))
  kill $holder 2>/dev/null
  wait $holder 2>/dev/null
  [ $status -eq 143 ] || fail "SIGTERM while waiting for a lock: exit status $status"
  [ $waited_ms -lt 1000 ] || fail "SIGTERM while waiting for a lock: took $waited_ms ms"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "SIGTERM while waiting: the input changed"
  retry_and_compare "$scene" "SIGTERM while waiting for a lock"

  # Another program empties the split output while the run syncs it, and the run is stopped:
  # taking back its appends never lengthens the file (with NUL bytes); the record stays, and the
  # retry fails naming it, touching nothing.
  scene="$work/shortened"
  make_scene "$scene"
  strace -f -qq -y -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=400000 \
    "$zorvant" "$scene/d/0502/A.dat" &
  wait_for_call "$scene.trace" 'fsync\(.*1101/A\.dat\.txt>'
  : >"$scene/d/1101/A.dat.txt"
  kill -s TERM "$(pgrep -P $! -x zorvant || echo $!)"
  wait $!
  [ ! -s "$scene/d/1101/A.dat.txt" ] || fail "a shortened split output was lengthened"
  "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? "zorvant: cannot trust '$scene/d/1101/.A.dat.txt.undo': the split output \
'$scene/d/1101/A.dat.txt' is shorter than this record says: another program changed it; check \
it, then delete this record (error 1)" "a shortened split output"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "a shortened split output: input changed"

  # Over the file size limit with the default action: the same, with SIGXFSZ's status.
  scene="$work/xfsz"
  make_scene "$scene"
  (ulimit -f 64 && exec "$zorvant" "$scene/d/0502/A.dat")
  status=$?
  [ $status -eq $((128 + $(kill -l XFSZ))) ] || fail "SIGXFSZ: exit status $status"
  retry_and_compare "$scene" "SIGXFSZ"
  ;;
concurrent)
  # An input another run holds: this run fails at once and touches nothing.
  scene="$work/busy"
  make_scene "$scene"
  "$lock_holder" input "$scene/d/0502/A.dat" >/dev/null &
  holder=$!
  sleep 0.3
  "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" && fail "a held input was converted"
  grep -q "in use by another run" "$work/report" || fail "report: $(cat "$work/report")"
  [ ! -e "$scene/d/0502/A.dat.txt" ] || fail "a held input's run created its main output"
  # A killed process lets go of its lock once it has ended: the retry comes after that.
  kill $holder 2>/dev/null
  wait $holder 2>/dev/null
  retry_and_compare "$scene" "held input"

  # Two inputs that share one split output, converted at the same time: each run's records
  # stay together.
  scene="$work/shared"
  mkdir -p "$scene/d/0502" "$scene/d/1101"
  make_input 4000 1 "$scene/d/0502/1101.dat"
  make_input 4000 2 "$scene/d/1101/0502.dat"
  "$zorvant" "$scene/d/0502/1101.dat" &
  "$zorvant" "$scene/d/1101/0502.dat" || fail "the second of two runs sharing a split failed"
  wait $! || fail "the first of two runs sharing a split failed"
  runs=$(grep -a -o 'K0002[-0]*[12]' "$scene/d/1101/1101.dat.txt" | uniq | wc -l)
  [ "$runs" -eq 2 ] || fail "the split output's records interleave ($runs runs)"

  # Two runs whose outputs cross through folder links, each one's split output the other's main
  # output, both holding their main output when they ask for their split output: neither waits
  # for the other forever; one gives way with "in use by another run".
  scene="$work/crossed"
  mkdir -p "$scene/d/0502" "$scene/d/1101" "$scene/e"
  ln -s ../d/1101 "$scene/e/0502" && ln -s ../d/0502 "$scene/e/1101"
  make_input 300 1 "$scene/d/0502/A.dat"
  make_input 300 2 "$scene/d/1101/A.dat"
  for input in d/0502 e/0502; do
    timeout 20 strace -f -qq -o /dev/null -e trace=ftruncate \
      -e inject=ftruncate:delay_exit=500000:when=1 "$zorvant" "$scene/$input/A.dat" \
      2>"$work/report-${input%/*}" &
  done
  for input in d e; do
    wait -n
    status=$?
    [ $status -ne 124 ] || fail "crossed outputs: the runs waited for each other"
  done
  for input in d e; do
    [ ! -s "$work/report-$input" ] || grep -q ": in use by another run (error 11)$" \
      "$work/report-$input" || fail "crossed outputs: $(cat "$work/report-$input")"
  done

  # An output another program holds a read lease on (a file server, say) is waited for until it
  # lets go, as a locked one is.
  if command -v python3 >/dev/null; then
    scene="$work/leased"
    make_scene "$scene"
    : >"$scene/d/0502/A.dat.txt"
    python3 -c '
import fcntl, os, signal, sys, time
signal.signal(signal.SIGIO, signal.SIG_IGN)
fd = os.open(sys.argv[1], os.O_RDONLY)
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
print("leased", flush=True)
time.sleep(1)' "$scene/d/0502/A.dat.txt" >"$work/lease" &
    wait_for_call "$work/lease" leased
    "$zorvant" "$scene/d/0502/A.dat" || fail "an output under a lease: status $?"
    wait $!
    retry_and_compare "$scene" "an output under a lease"
  fi

  # An input replaced while it is converted is not deleted.
  scene="$work/replaced"
  make_scene "$scene"
  strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=300000 \
    "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" &
  sleep 0.2
  echo "a newer file" >"$work/newer" && mv "$work/newer" "$scene/d/0502/A.dat"
  wait $! && fail "a replaced input was deleted without a failure"
  [ "$(cat "$scene/d/0502/A.dat")" == "a newer file" ] || fail "the replacement was touched"
  grep -q "cannot delete '$scene/d/0502/A.dat'" "$work/report" || fail "report: $(cat "$work/report")"
  ;;
links)
  # Nothing is written through a symbolic link at either output path.
  for output in d/0502/A.dat.txt d/1101/A.dat.txt; do
    scene="$work/link"
    make_scene "$scene"
    echo "not to be touched" >"$work/target"
    rm -f "$scene/$output" && ln -s "$work/target" "$scene/$output"
    "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" && fail "$output: written through a link"
    [ "$(cat "$work/target")" == "not to be touched" ] || fail "$output: the link's target changed"
    cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "$output: the input changed"
    grep -q "'$scene/$output'" "$work/report" || fail "report: $(cat "$work/report")"
    rm -rf "$scene"
  done
  ;;
hostile)
  # A program that opens the input for writing during the run: the run's lease makes it wait
  # only until the run has given way, taken back the split output and kept the input, writer's
  # bytes and all; a retry then converts what the input holds by then.
  printf 'K0002%0251d\r\n' 9 >"$work/more"
  make_scene "$work/more-clean"
  cat "$work/more" >>"$work/more-clean/d/0502/A.dat"
  "$zorvant" "$work/more-clean/d/0502/A.dat" || fail "a clean run failed"
  scene="$work/writer"
  input="$scene/d/0502/A.dat"
  make_scene "$scene"
  strace -f -qq -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=300000 \
    "$zorvant" "$input" 2>"$work/report" &
  run=$!
  wait_for_call "$scene.trace" 'fsync\('
  cat "$work/more" >>"$input" &
  wait $run
  failed_with $? "zorvant: cannot convert '$input': changed while being converted (error 116)" \
    "a writer at work"
  wait $! || fail "a writer at work: the writer failed"
  cat "$work/original" "$work/more" | cmp -s - "$input" || fail "a writer at work: input lost"
  printf '%s' "$earlier" | cmp -s - "$scene/d/1101/A.dat.txt" || fail "a writer at work: split"
  "$zorvant" "$input" || fail "the retry failed (a writer at work)"
  [ "$(state "$scene")" == "$(state "$work/more-clean")" ] || fail "a writer at work: retry differs"

  # An input another program (here the shell) holds open for writing is not even started on.
  scene="$work/open-writer"
  make_scene "$scene"
  { "$zorvant" "$scene/d/0502/A.dat" 7>&- 2>"$work/report"; } 7>>"$scene/d/0502/A.dat"
  failed_with $? \
    "zorvant: cannot open '$scene/d/0502/A.dat': in use by another program (error 11)" \
    "an input open for writing"
  [ ! -e "$scene/d/0502/A.dat.txt" ] || fail "an input open for writing: main output created"
  retry_and_compare "$scene" "an input open for writing"

  # Two runs on one input at once: the one that gets the lock second finds the input converted
  # and deleted, and ends without touching anything.
  scene="$work/twice"
  make_scene "$scene"
  # Held at the input's lock, the first lock the run takes.
  make_scene "$work/count"
  n=$(strace -f -qq -o /dev/stdout -e trace=fcntl "$zorvant" "$work/count/d/0502/A.dat" |
    grep -n -m1 F_OFD_SETLK | cut -d: -f1)
  rm -rf "$work/count"
  strace -f -qq -o "$scene.trace" -e trace=fcntl -e inject=fcntl:delay_enter=1500000:when=$n \
    "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" &
  wait_for_call "$scene.trace" 'F_OFD_SETLK'
  "$zorvant" "$scene/d/0502/A.dat" || fail "the first of two runs on one input failed"
  wait $! || fail "the second of two runs on one input failed: $(cat "$work/report")"
  [ ! -s "$work/report" ] || fail "the second of two runs on one input: $(cat "$work/report")"
  [ "$(state "$scene")" == "$expected" ] || fail "two runs on one input: not one clean run"

  # A file linked in where the undo record is first written aside is never written through.
  scene="$work/planted-link"
  make_scene "$scene"
  echo "not to be touched" >"$work/target"
  ln "$work/target" "$scene/d/1101/.A.dat.txt.undo.new"
  "$zorvant" "$scene/d/0502/A.dat" || fail "a linked aside: the run failed"
  [ "$(cat "$work/target")" == "not to be touched" ] || fail "a linked aside: its target changed"
  cmp -s "$scene/d/1101/A.dat.txt" "$work/clean/d/1101/A.dat.txt" || fail "a linked aside: split"

  # A relative input deeper than the system takes in one path: the retry after a failed deletion
  # still finds the input its undo record names, and appends only once.
  mkdir "$work/deep"
  (
    cd "$work/deep" || exit 1
    folder=$(printf 'f%.0s' $(seq 200))
    for ((depth = 0; depth < 30; depth++)); do mkdir "$folder" && cd "$folder" || exit 1; done
    make_scene .
    chmod 444 d/0502/A.dat
    "$zorvant" d/0502/A.dat 2>"$work/report"
    failed_with $? "zorvant: cannot delete 'd/0502/A.dat': Permission denied (error 13)" "deep"
    chmod 644 d/0502/A.dat
    "$zorvant" d/0502/A.dat || fail "the retry failed (deep)"
    [ "$(state .)" == "$expected" ] || fail "deep: the retry appended again"
  ) || exit 1

  # A file moved onto the input's path while the run deletes the input stays where it is; so
  # does a third one that takes the path while the run puts the second back from aside.
  scene="$work/moved"
  mkdir -p "$scene/in" && cp "$work/original" "$scene/in/A.dat"
  strace -f -qq -o "$scene.trace" -e trace=unlink,unlinkat,rename,renameat,renameat2 \
    -e inject=unlink,unlinkat,rename,renameat,renameat2:delay_enter=500000 \
    "$zorvant" "$scene/in/A.dat" 2>"$work/report" &
  wait_for_call "$scene.trace" '(unlink|rename)[a-z0-9]*\(.*[/"]A\.dat"'
  echo "a newer file" >"$work/newer" && mv "$work/newer" "$scene/in/A.dat"
  wait_for_call "$scene.trace" 'rename[a-z0-9]*\(.*deleting".*"A\.dat"'
  echo "a third file" >"$work/third" && mv "$work/third" "$scene/in/A.dat"
  wait $! && fail "a file moved onto the input was deleted"
  [ "$(cat "$scene/in/A.dat")" == "a third file" ] || fail "a file moved onto the input: replaced"
  [ "$(cat "$scene"/in/.zorvant-*.deleting)" == "a newer file" ] ||
    fail "a file moved onto the input: not kept aside"
  grep -q "^zorvant: cannot put back '$scene/in/.zorvant-.*\.deleting': File exists (error 17)$" \
    "$work/report" || fail "report: $(cat "$work/report")"

  # Outputs that are the input or each other: the run fails instead of waiting on its own lock.
  scene="$work/main-is-input"
  make_scene "$scene"
  ln "$scene/d/0502/A.dat" "$scene/d/0502/A.dat.txt"
  timeout 10 "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? \
    "zorvant: cannot create '$scene/d/0502/A.dat.txt': is the input itself (error 22)" \
    "main output linked to the input"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "main output linked to the input: input"
  scene="$work/split-is-main"
  mkdir -p "$scene/d/0502" && cp "$work/original" "$scene/d/0502/A.dat"
  ln -s 0502 "$scene/d/1101"
  timeout 10 "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? \
    "zorvant: cannot append to '$scene/d/1101/A.dat.txt': is the main output too (error 22)" \
    "split output is the main output"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "split output is the main output: input"

  # An input name of 244 bytes: its split output's undo record just fits in a folder entry, so
  # the name the record is first written under must not be any longer.
  scene="$work/long-name"
  name=0502$(printf 'n%.0s' $(seq 236)).dat
  mkdir "$scene" && cp "$work/original" "$scene/$name"
  printf '%s' "$earlier" >"$scene/${name/0502/1101}.txt"
  "$zorvant" "$scene/$name" || fail "a long name: the run failed"
  cmp -s "$scene/${name/0502/1101}.txt" "$work/clean/d/1101/A.dat.txt" || fail "a long name: split"

  # An input a few bytes short of the system's limit, with a short name: the name it is moved
  # aside to is longer than its own, and is reached from its folder.
  folder="$work/near-limit"
  while [ $((${#folder} + 201)) -lt 4074 ]; do folder+=/$(printf 'g%.0s' $(seq 200)); done
  folder+=/$(printf 'h%.0s' $(seq $((4073 - ${#folder}))))
  mkdir -p "$folder" && cp "$work/original" "$folder/A.dat"
  "$zorvant" "$folder/A.dat" 2>"$work/report" || fail "near the limit: $(cat "$work/report")"
  [ ! -e "$folder/A.dat" ] && [ -s "$folder/A.dat.txt" ] || fail "near the limit: not consumed"

  # A new line in a path still makes a report of one line, the new line shown as \n.
  scene="$work/new-line"
  mkdir -p "$scene/x"$'\n'"y/0502" && cp "$work/original" "$scene/x"$'\n'"y/0502/A.dat"
  "$zorvant" "$scene/x"$'\n'"y/0502/A.dat" 2>"$work/report" && fail "no split folder: converted"
  [ "$(wc -l <"$work/report")" -eq 1 ] && grep -qF 'x\ny/' "$work/report" ||
    fail "report: $(cat "$work/report")"
  cmp -s "$scene/x"$'\n'"y/0502/A.dat" "$work/original" || fail "no split folder: input changed"
  ;;
reuse)
  # A run killed after it pinned its input but before its undo record said complete, after it
  # deleted its input but before it removed its undo record, or between moving its input aside
  # and deleting it; then the next input of the same name, size and time arrives (where files
  # have no birth time, it may get the freed inode number too). Its records reach the split
  # output once more, and the leftovers of the killed run block nothing.
  record=$(printf 'K0002%0251d' 7)
  record="${record:0:48}-${record:49:3}-${record:53}"$'\r'
  make_scene "$work/count"
  strace -f -qq -o "$work/count.trace" -e trace=unlink,unlinkat "$zorvant" "$work/count/d/0502/A.dat"
  for killed_at in pin '\.A\.dat\.txt\.undo"' '\.deleting"'; do
    scene="$work/reuse"
    make_scene "$scene"
    cp -p "$scene/d/0502/A.dat" "$work/next"
    if [ "$killed_at" = pin ]; then
      # Held once the pin is made, and killed there.
      strace -f -qq -o /dev/null -e trace=linkat -e inject=linkat:delay_exit=5000000 2>/dev/null \
        "$zorvant" "$scene/d/0502/A.dat" &
      for ((tries = 0; tries < 500; tries++)); do
        compgen -G "$scene/d/0502/.zorvant-*.converted" >/dev/null && break
        sleep 0.01
      done
      run=$(pgrep -P $! -x zorvant) || fail "the run never pinned its input"
      kill -KILL "$run"
      kill -KILL $!  # strace too, which would sit out its delay
      wait
      # Its lock goes only once it has exited, a moment after the signal: the retry waits.
      for ((tries = 0; tries < 500; tries++)); do
        [ -e "/proc/$run" ] && ! grep -q ') Z' "/proc/$run/stat" 2>/dev/null || break
        sleep 0.01
      done
    else
      n=$(grep -n -m1 -- "$killed_at" "$work/count.trace" | cut -d: -f1)
      [ -n "$n" ] || fail "the run never removed $killed_at"
      strace -f -qq -o /dev/null -e trace=unlink,unlinkat -e inject=unlink,unlinkat:signal=KILL:when=$n \
        "$zorvant" "$scene/d/0502/A.dat"
    fi
    [ ! -e "$scene/d/0502/A.dat" ] || "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" ||
      fail "retry ($killed_at): $(cat "$work/report")"
    cp -p "$work/next" "$scene/d/0502/A.dat"
    "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" || fail "next input ($killed_at): $(cat "$work/report")"
    { printf '%s' "$earlier" && for _ in 1 2; do printf '%s\n' "$(yes "$record" | head -n "${lines:-300}")"; done; } |
      cmp -s - "$scene/d/1101/A.dat.txt" || fail "killed at $killed_at: the split output lost or doubled records"
    ls -A "$scene/d/0502" | grep -q '^\.zorvant-' && fail "killed at $killed_at: leftovers stay: $(ls -A "$scene/d/0502")"
    rm -rf "$scene"
  done
  ;;
namespaced)
  # Every run in a process namespace of its own, as in a container: each run has the same
  # process number, so whatever a killed run leaves behind under a name of its own must not be
  # in the way of the next run in that folder. Odd rounds kill at a random moment, even rounds
  # in the input's deletion (moved aside, not yet unlinked); then the retry and the next input
  # of the same name, in the same folder, must leave what two clean runs leave.
  # --kill-child: a wrapper killed alone (a test's timeout) takes its run with it.
  namespaced=(unshare -pf --kill-child)
  "${namespaced[@]}" true 2>/dev/null || namespaced=(unshare -rpf --kill-child)
  if ! "${namespaced[@]}" true 2>/dev/null; then
    echo "SKIP [$case_name]: this user may not make a process namespace (unshare -pf, -rpf)"
    exit 77
  fi
  lines=3000
  make_input "$lines" 8 "$work/next"
  expected=$(rm -rf "$work/clean" && make_scene "$work/clean" &&
    "$zorvant" "$work/clean/d/0502/A.dat" && cp "$work/next" "$work/clean/d/0502/A.dat" &&
    "$zorvant" "$work/clean/d/0502/A.dat" && state "$work/clean") || fail "two clean runs failed"
  # Kill moments are drawn from the length of the run itself, once the wrapper has started it:
  # the shortest of three, as the first run on new files can take twice as long as the next.
  run_us=
  for timed in 1 2 3; do
    make_scene "$work/timed-$timed"
    start=${EPOCHREALTIME/./}
    "$zorvant" "$work/timed-$timed/d/0502/A.dat"
    took=$((${EPOCHREALTIME/./} - start + 1))
    ((${run_us:-took} < took)) || run_us=$took
  done
  # A pipe nobody writes to: reading it with a time limit is a wait that starts no program.
  mkfifo "$work/never" && exec {never}<>"$work/never"
  killed=0
  for round in $(seq 16); do
    scene="$work/round-$round"
    input="$scene/d/0502/A.dat"
    make_scene "$scene"
    # The run is killed, not its wrapper: the wrapper reaps it, so once the wrapper has ended
    # the run's locks are gone (the machine's own init may be slow to reap an orphan, or never).
    # The wrapper reports the run's kill, in some versions as a failure of its own: not shown.
    if ((round % 2)); then
      "${namespaced[@]}" "$zorvant" "$input" 2>/dev/null &
      run=$!
      # Found and waited for by the shell alone: starting a program (pgrep, sleep) takes a good
      # part of a run, and the kills would land late.
      started=
      give_up=$((${EPOCHREALTIME/./} + 5000000))
      until [ -n "$started" ]; do
        read -r started _ <"/proc/$run/task/$run/children" 2>/dev/null
        ((${EPOCHREALTIME/./} < give_up)) || fail "round $round: the wrapper never started the run"
      done
      at_us=$(((RANDOM * 32768 + RANDOM) % run_us))
      read -r -t "$((at_us / 1000000)).$(printf '%06d' $((at_us % 1000000)))" -u "$never"
      kill -9 "$started" 2>/dev/null && killed=$((killed + 1))
    else
      # strace outside the namespace, so that the run keeps the number of an untraced one.
      strace -f -qq -o "$scene.trace" -e trace=unlink,unlinkat \
        -e inject=unlink,unlinkat:delay_enter=200000 "${namespaced[@]}" "$zorvant" "$input" \
        2>"$work/report" &
      run=$!
      for ((tries = 0; tries < 1000; tries++)); do
        grep -q '\.deleting"' "$scene.trace" 2>/dev/null && break
        kill -0 $run 2>/dev/null ||
          fail "round $round: the run ended before its deletion: $(cat "$work/report")"
        sleep 0.01
      done
      kill -9 "$(grep -m1 '\.deleting"' "$scene.trace" | cut -d' ' -f1)" 2>/dev/null &&
        killed=$((killed + 1))
    fi
    wait $run 2>/dev/null
    if ((round % 2 == 0)); then
      compgen -G "$scene/d/0502/.zorvant-*.deleting" >/dev/null ||
        fail "round $round: not killed in the deletion"
    fi
    if [ -e "$input" ]; then
      "${namespaced[@]}" "$zorvant" "$input" 2>"$work/report" ||
        fail "the retry failed (round $round): $(cat "$work/report")"
    fi
    cp "$work/next" "$input"
    "${namespaced[@]}" "$zorvant" "$input" 2>"$work/report" ||
      fail "the next input failed (round $round): $(cat "$work/report")"
    [ "$(state "$scene")" == "$expected" ] || fail "round $round: not what two clean runs leave"
    rm -rf "$scene" "$scene.trace"
  done
  echo "$killed of 16 runs were killed before they finished"
  [ $killed -ge 10 ] || fail "too few runs were killed to show anything"
  ;;
identity)
  # The retry of an input from another working folder, the first one's folder removed meanwhile
  # (as a scheduler removes its job folders): it finds the input its record names, and consumes
  # it without appending again.
  scene="$work/working-folders"
  make_scene "$scene"
  mkdir "$scene/job1" "$scene/job2"
  chmod 444 "$scene/d/0502/A.dat"
  (cd "$scene/job1" && exec "$zorvant" ../d/0502/A.dat) 2>"$work/report"
  failed_with $? "zorvant: cannot delete '../d/0502/A.dat': Permission denied (error 13)" \
    "another working folder"
  rmdir "$scene/job1" && chmod 644 "$scene/d/0502/A.dat"
  (cd "$scene/job2" && exec "$zorvant" ../d/0502/A.dat) || fail "another working folder: retry"
  rmdir "$scene/job2"
  [ "$(state "$scene")" == "$expected" ] || fail "another working folder: appended again"
  ls -A "$scene/d/0502" "$scene/d/1101" | grep -q '^\.' && fail "another working folder: leftovers"

  # The same through a folder link that was pointed at the next day's folder before the retry,
  # which takes the input by its own path.
  scene="$work/repointed"
  make_scene "$scene/day1" && mkdir -p "$scene/day2/d/0502"
  ln -s day1 "$scene/today"
  chmod 444 "$scene/day1/d/0502/A.dat"
  "$zorvant" "$scene/today/d/0502/A.dat" 2>/dev/null && fail "a read-only input was deleted"
  ln -sfn day2 "$scene/today" && chmod 644 "$scene/day1/d/0502/A.dat"
  "$zorvant" "$scene/day1/d/0502/A.dat" || fail "a re-pointed link: the retry failed"
  [ "$(state "$scene/day1")" == "$expected" ] || fail "a re-pointed link: appended again"

  # A split output with a second name would have a second undo record, and each name's retry
  # would take back what a run through the other name appended: refused, nothing touched.
  scene="$work/two-names"
  make_scene "$scene"
  ln "$scene/d/1101/A.dat.txt" "$scene/d/1101/B.dat.txt"
  "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? "zorvant: cannot append to '$scene/d/1101/A.dat.txt': has more than one name \
(a hard link) (error 31)" "a split output of two names"
  printf '%s' "$earlier" | cmp -s - "$scene/d/1101/A.dat.txt" || fail "two names: split touched"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "two names: the input changed"

  # The folder of a split output the run made is moved away and a link to another folder put in
  # its place, then a writer makes the run give way: taking back removes the file it made, from
  # the folder it made it in, and nothing of the same name that the link leads to.
  scene="$work/swapped-folder"
  mkdir -p "$scene/X0502" "$scene/X1101" "$scene/private"
  cp "$work/original" "$scene/X0502/A.dat"
  echo "not to be touched" >"$scene/private/A.dat.txt"
  strace -f -qq -y -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=300000 \
    "$zorvant" "$scene/X0502/A.dat" 2>"$work/report" &
  run=$!
  wait_for_call "$scene.trace" 'fsync\(.*X1101/A\.dat\.txt>'
  mv "$scene/X1101" "$scene/X1101.away" && ln -s private "$scene/X1101"
  echo "K0001 more" >>"$scene/X0502/A.dat" &
  wait $run
  failed_with $? "zorvant: cannot convert '$scene/X0502/A.dat': changed while being converted \
(error 116)" "a swapped folder"
  wait $!
  [ "$(cat "$scene/private/A.dat.txt")" == "not to be touched" ] ||
    fail "a swapped folder: a file the run never made was deleted"
  [ -z "$(ls -A "$scene/X1101.away")" ] || fail "a swapped folder: left $(ls -A "$scene/X1101.away")"

  # The same, but the name of the split output the run made is given to another file in its
  # folder meanwhile: taking back removes only the file the run made, never what is there now.
  scene="$work/swapped-file"
  mkdir -p "$scene/X0502" "$scene/X1101"
  cp "$work/original" "$scene/X0502/A.dat"
  strace -f -qq -y -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=300000 \
    "$zorvant" "$scene/X0502/A.dat" 2>"$work/report" &
  run=$!
  wait_for_call "$scene.trace" 'fsync\(.*X1101/A\.dat\.txt>'
  mv "$scene/X1101/A.dat.txt" "$scene/made" && echo "not to be touched" >"$scene/X1101/A.dat.txt"
  echo "K0001 more" >>"$scene/X0502/A.dat" &
  wait $run
  wait $!
  [ "$(cat "$scene/X1101/A.dat.txt")" == "not to be touched" ] ||
    fail "a swapped file: a file the run never made was deleted: $(cat "$work/report"; ls -A "$scene/X1101")"

  # A record cut short (as a repair of the file system leaves one) after a run was killed while
  # appending: what that run appended cannot be told, so the retry fails naming the record and
  # neither appends nor cuts back.
  scene="$work/damaged"
  make_scene "$scene"
  strace -f -qq -y -o "$scene.trace" -e trace=fsync -e inject=fsync:delay_enter=1000000 \
    "$zorvant" "$scene/d/0502/A.dat" 2>/dev/null &
  wait_for_call "$scene.trace" 'fsync\(.*1101/A\.dat\.txt>'
  pkill -KILL -P $! -x zorvant
  kill -KILL $!  # strace too, which would sit out its delay
  wait $! 2>/dev/null
  truncate -s 40 "$scene/d/1101/.A.dat.txt.undo"
  cp "$scene/d/1101/A.dat.txt" "$work/split-before"
  "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? "zorvant: cannot trust '$scene/d/1101/.A.dat.txt.undo': not a whole undo record \
(damaged, or cut short): what its run appended to the split output cannot be told; check the end \
of the split output against its input, then delete this record (error 1)" "a damaged record"
  cmp -s "$work/split-before" "$scene/d/1101/A.dat.txt" || fail "a damaged record: split changed"
  cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "a damaged record: the input changed"

  # The sync of the input's folder after its unlink fails (the second sync of that folder, after
  # the one for the main output's name and the pin): the report says the input is converted and gone; the pin
  # and the record stay for a power cut that would bring the input back, and the next run with
  # that split output removes them.
  scene="$work/unsynced"
  make_scene "$scene"
  strace -f -qq -o /dev/null -P "$scene/d/0502" -e trace=fsync -e inject=fsync:error=EIO:when=2 \
    "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
  failed_with $? "zorvant: converted and deleted the input, but cannot sync folder \
'$scene/d/0502': Input/output error (error 5)" "an unsynced deletion"
  [ ! -e "$scene/d/0502/A.dat" ] && [ "$(state "$scene")" == "$expected" ] ||
    fail "an unsynced deletion: not what one clean run leaves"
  cp "$work/original" "$scene/d/0502/A.dat"
  "$zorvant" "$scene/d/0502/A.dat" || fail "an unsynced deletion: the next input failed"
  ls -A "$scene/d/0502" "$scene/d/1101" | grep -q '^\.' && fail "an unsynced deletion: leftovers"
  ;;
durability)
  # What a power cut keeps of a run rests on the order in which its calls reach the disk: the
  # trace of one run on this file system must show each name and each file's bytes synced
  # before the step that relies on them lasting. A sync that is dropped fails here, naming the
  # step, whether the run or the file layer dropped it.
  command -v python3 >/dev/null || fail "python3 is needed to read the trace"
  for kind in 0502 0501; do
    scene="$work/durable-$([ "$kind" = 0502 ] && echo marked || echo unmarked)"
    mkdir -p "$scene/d/$kind" "$scene/d/1101"
    cp "$work/original" "$scene/d/$kind/A.dat"
    printf '%s' "$earlier" >"$scene/d/1101/A.dat.txt"
    strace -f -qq -y -o "$scene.trace" \
      -e trace=openat,write,fsync,fdatasync,rename,renameat,renameat2,linkat,unlinkat \
      "$zorvant" "$scene/d/$kind/A.dat" || fail "the traced run failed"
    python3 - "$scene.trace" "$(realpath "$scene")/d" "$kind" <<'CHECK' || fail "$kind: out of order"
import re, sys

trace, top, kind = sys.argv[1:]
events, pending = [], {}
for at, line in enumerate(open(trace, errors="replace")):
    pid, _, rest = line.rstrip("\n").partition(" ")
    rest = rest.strip()
    resumed = re.match(r"<\.\.\. (\w+) resumed>(.*)", rest)
    if resumed:
        call = pending.pop((pid, resumed.group(1)))
        call["args"] += resumed.group(2)
        call["end"] = at
        continue
    started = re.match(r"(\w+)\((.*)", rest)
    if not started:
        continue
    call = {"name": started.group(1), "args": started.group(2), "start": at, "end": at}
    events.append(call)
    if rest.endswith("<unfinished ...>"):
        pending[(pid, call["name"])] = call


def calls(names, pattern):
    return [e for e in events if e["name"] in names.split() and re.search(pattern, e["args"])]


def fd(path):
    return "^\\d+<" + re.escape(path) + ">"


def first(names, pattern, what):
    found = calls(names, pattern)
    if not found:
        sys.exit(f"no {what} in the trace")
    return found[0]


def synced(path, after, before, what):
    syncs = calls("fsync fdatasync", fd(path))
    if not any(s["start"] > after and s["end"] < before for s in syncs):
        sys.exit(f"{path} is not synced between {what}")


input_folder, split_folder = f"{top}/{kind}", f"{top}/1101"
main, split, record = f"{input_folder}/A.dat.txt", f"{split_folder}/A.dat.txt", f"{split_folder}/.A.dat.txt.undo"
aside = first("renameat2 renameat rename", r'"A\.dat", .*\.deleting"', "move aside")
main_made = first("openat", r'"A\.dat\.txt", O_WRONLY\|O_CREAT', "creation of the main output")
last_main_write = max(e["end"] for e in calls("write", fd(main)))
synced(main, last_main_write, aside["start"], "the main output's last write and the input's move aside")
synced(input_folder, main_made["end"], aside["start"], "the main output's creation and the input's move aside")
removed = first("unlinkat", r'\.deleting"', "removal of the input")
later = [e["start"] for e in calls("unlinkat", r'\.converted"|\.undo"') if e["start"] > removed["end"]]
later = later or [float("inf")]
synced(input_folder, removed["end"], min(later), "the input's removal and its pin's or record's")
if kind != "0502":
    sys.exit(0)
named = first("renameat rename", r'\.undo\.new", .*\.undo"', "the record's rename")
synced(record + ".new", 0, named["start"], "the record's writing and its rename")
first_append = min(e["start"] for e in calls("write", fd(split)))
synced(split_folder, named["end"], first_append, "the record's rename and the first append")
completion = first("write", fd(record) + r', "complete', "completion of the record")
last_append = max(e["end"] for e in calls("write", fd(split)))
synced(split, last_append, completion["start"], "the last append and the record's completion")
for pin in calls("linkat", r'\.converted".* = 0$'):
    synced(input_folder, pin["end"], completion["start"], "the pin and the record's completion")
synced(record, completion["end"], aside["start"], "the record's completion and the input's move aside")
CHECK
  done
  ;;
*) fail "no such case" ;;
esac
echo "PASS [$case_name]"
