#!/usr/bin/env bash
# Failures, kills, signals and concurrent runs against the real program on real files.
# Usage: run_case.sh PROGRAM CASE. Each case checks that after whatever happened, and a plain
# retry where the input is still there, the folder holds exactly what one clean run leaves.
set -uo pipefail
set -m  # background runs must receive SIGINT like any other signal
zorvant=$1
case_name=$2
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

# Every file below $1 with a checksum of its content; undo records are bookkeeping and left out.
state() { (cd "$1" && find . -type f ! -name '.*.undo' -print0 | sort -z | xargs -0 -r md5sum); }

clean_state() {
  make_scene "$work/clean"
  "$zorvant" "$work/clean/d/0502/A.dat" || fail "a clean run failed"
  state "$work/clean"
}

# After a failed or killed run in scene $1: retry if the input is still there, then compare.
retry_and_compare() {
  if [ -e "$1/d/0502/A.dat" ]; then
    "$zorvant" "$1/d/0502/A.dat" || fail "the retry failed ($2)"
  fi
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

expected=$(clean_state)
make_input "${lines:-300}" 7 "$work/original"

case "$case_name" in
faults)
  # Each file system call fails in turn, from the first to the last the run makes.
  for call in openat read write fsync close ftruncate flock rename unlink; do
    count=$(make_scene "$work/count" && strace -f -qq -o /dev/stdout -e trace="$call" \
      "$zorvant" "$work/count/d/0502/A.dat" | grep -c "$call(")
    rm -rf "$work/count"
    for ((n = 1; n <= count; n++)); do
      scene="$work/$call-$n"
      make_scene "$scene"
      strace -f -qq -o /dev/null -e trace="$call" -e inject="$call:error=EIO:when=$n" \
        "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report"
      status=$?
      [ $status -eq 0 ] || [ -s "$work/report" ] || fail "$call #$n: failed without a report"
      check_kept "$scene" "$call #$n"
      retry_and_compare "$scene" "$call #$n"
      rm -rf "$scene"
    done
    echo "$call: $count calls failed in turn"
  done
  ;;
kill)
  # Killed at random moments of a run of a few MiB, then retried.
  lines=3000
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
    strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=400000 \
      "$zorvant" "$scene/d/0502/A.dat" &
    sleep 0.5
    kill -s "$signal" "$(pgrep -P $! -x zorvant || echo $!)"
    wait $!
    status=$?
    [ $status -eq $((128 + $(kill -l "$signal"))) ] || fail "SIG$signal: exit status $status"
    cmp -s "$scene/d/0502/A.dat" "$work/original" || fail "SIG$signal: the input changed"
    printf '%s' "$earlier" | cmp -s - "$scene/d/1101/A.dat.txt" || fail "SIG$signal: split not taken back"
    retry_and_compare "$scene" "SIG$signal"
  done
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
  flock "$scene/d/0502/A.dat" sleep 3 &
  sleep 0.3
  "$zorvant" "$scene/d/0502/A.dat" 2>"$work/report" && fail "a held input was converted"
  grep -q "in use by another run" "$work/report" || fail "report: $(cat "$work/report")"
  [ ! -e "$scene/d/0502/A.dat.txt" ] || fail "a held input's run created its main output"
  kill %1 2>/dev/null
  wait
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
*) fail "no such case" ;;
esac
echo "PASS [$case_name]"
