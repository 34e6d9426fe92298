#!/usr/bin/env bash
# Whole-program benchmark: zorvant against a durable copy of the same bytes (dd with fsync, the
# physical limit) and against the nearest stock tool (fold), alternating on the same machine in
# the same run, and prints a markdown table of medians and paired ratios.
#
#   bench/run.sh [--memory] [ROUNDS]        (default 7 rounds, at least 5)
#
# --memory: the inputs on tmpfs (/dev/shm), where the processor and not the disk sets the pace;
# zorvant against a copy through user space (dd bs=4M, read and write as any converter must,
# nothing synced) and fold. A fourth column, "write", is the floor of any converter there: the
# input's size of zeros written to tmpfs, nothing read, nothing converted.
#
# ZORVANT=/path/to/zorvant measures that binary instead of the release build (to compare a
# change against a saved copy of the program).
#
# Builds the "release" preset, makes the three 256 MiB inputs into bench/data/ when they are
# missing (kept there for later runs), and converts hard links to them: the program deletes its
# input, and a fresh link per run costs nothing while the data stays in the page cache.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
memory=false
if [ "${1:-}" = --memory ]; then
  memory=true
  shift
fi
rounds="${1:-7}"
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 5 ]; then
  echo "usage: bench/run.sh [--memory] [ROUNDS]  (ROUNDS at least 5)" >&2
  exit 2
fi

# bash 5 has a microsecond clock in EPOCHREALTIME.
if [ -z "${EPOCHREALTIME:-}" ]; then
  echo "bench/run.sh needs bash 5 or later" >&2
  exit 1
fi
# GNU time reports the peak resident memory (%M); bash's own `time` keyword cannot.
if ! [ -x /usr/bin/time ]; then
  echo "bench/run.sh needs GNU time: apt-get install time" >&2
  exit 1
fi
for tool in dd fold cmake ninja; do
  command -v "$tool" >/dev/null || { echo "bench/run.sh needs $tool" >&2; exit 1; }
done

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
build="$root/build-release"
zorvant="${ZORVANT:-$build/zorvant}"

data="$here/data"
$memory && data=/dev/shm/zorvant-bench
mkdir -p "$data"
inputs=(ascii sjis lfline)
for kind in "${inputs[@]}"; do
  if ! [ -f "$data/$kind.dat" ]; then
    echo "making $data/$kind.dat" >&2
    "$build/bench/make_bench_data" "$kind" "$data/$kind.dat.part"
    mv "$data/$kind.dat.part" "$data/$kind.dat"
  fi
  cat "$data/$kind.dat" >/dev/null  # into the page cache
done

# Each run works in an empty folder on the same file system as the data (hard links need it).
# The input name is marked ("0502"), so the split output is in play; it is appended to, so the
# folder is emptied after every run.
work="$data/run"
rm -rf "$work"
mkdir -p "$work"
input="$work/X0502.dat"
results="$(mktemp)"
trap 'rm -rf "$work" "$results"' EXIT

# run KIND TOOL: one timed run of TOOL on a fresh link to KIND's data; appends
# "KIND TOOL seconds peak_KiB" to the results. The wall time covers the tool and the removal of
# its input, from bash's microsecond clock (GNU time's %e has only centiseconds); the peak
# memory is the tool's own, without the shell around it.
run() {
  local kind="$1" tool="$2" start end
  ln "$data/$kind.dat" "$input"
  start=$EPOCHREALTIME
  case "$tool" in
    zorvant)
      /usr/bin/time -f %M -o "$work/rss" "$zorvant" "$input"
      ;;
    dd)
      if $memory; then
        /usr/bin/time -f %M -o "$work/rss" dd if="$input" of="$input.txt" bs=4M status=none
      else
        /usr/bin/time -f %M -o "$work/rss" dd if="$input" of="$input.txt" bs=1M conv=fsync status=none
      fi
      rm "$input"
      ;;
    fold)
      /usr/bin/time -f %M -o "$work/rss" fold -b -w 256 "$input" >"$input.txt"
      rm "$input"
      ;;
    write)
      /usr/bin/time -f %M -o "$work/rss" \
        dd if=/dev/zero of="$input.txt" bs=4M count=$(($(stat -c %s "$input") >> 22)) status=none
      rm "$input"
      ;;
  esac
  end=$EPOCHREALTIME
  if [ -e "$input" ]; then
    echo "$tool left its input in place" >&2
    exit 1
  fi
  local result
  result="$kind $tool $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }') $(cat "$work/rss")"
  echo "  $result" >&2
  echo "$result" >>"$results"
  # Outside the timing: drop the outputs, and write back whatever is still dirty (fold does not
  # sync), so that no run pays for the one before.
  find "$work" -mindepth 1 -delete
  $memory || sync
}

for kind in "${inputs[@]}"; do
  tools=(zorvant dd fold)
  # fold takes LF for a line end, which in this input it is not: there is no stock peer.
  [ "$kind" = lfline ] && tools=(zorvant dd)
  $memory && tools+=(write)
  for ((round = 1; round <= rounds; ++round)); do
    echo "$kind: round $round of $rounds" >&2
    for tool in "${tools[@]}"; do run "$kind" "$tool"; done
  done
done

# Medians of the wall times, medians of the per-round ratios, and the largest peak memory.
awk -v rounds="$rounds" -v memory="$memory" '
  function median(values, n,   i, j, t) {
    for (i = 2; i <= n; ++i)
      for (j = i; j > 1 && values[j - 1] > values[j]; --j) {
        t = values[j]; values[j] = values[j - 1]; values[j - 1] = t
      }
    return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
  }
  {
    kind = $1; tool = $2
    count[kind, tool]++
    seconds[kind, tool, count[kind, tool]] = $3
    if ($4 > rss[kind, tool]) rss[kind, tool] = $4
  }
  END {
    floor = memory == "true"
    printf "| input | zorvant s | dd s | fold s | zorvant / dd | zorvant / fold |%s peak RSS zorvant | dd | fold |\n", floor ? " write s | write / fold |" : ""
    printf "|---|---|---|---|---|---|%s---|---|---|\n", floor ? "---|---|" : ""
    split("ascii sjis lfline", kinds, " ")
    for (k = 1; k <= 3; ++k) {
      kind = kinds[k]
      line = "| " kind
      for (t = 1; t <= 3; ++t) {
        tool = t == 1 ? "zorvant" : t == 2 ? "dd" : "fold"
        n = count[kind, tool]
        if (n == 0) { line = line " | -"; continue }
        for (i = 1; i <= n; ++i) v[i] = seconds[kind, tool, i]
        line = line sprintf(" | %.3f", median(v, n))
      }
      for (t = 2; t <= 3; ++t) {
        tool = t == 2 ? "dd" : "fold"
        n = count[kind, tool]
        if (n == 0) { line = line " | -"; continue }
        for (i = 1; i <= n; ++i) v[i] = seconds[kind, "zorvant", i] / seconds[kind, tool, i]
        line = line sprintf(" | %.2f", median(v, n))
      }
      if (floor) {
        n = count[kind, "write"]
        for (i = 1; i <= n; ++i) v[i] = seconds[kind, "write", i]
        line = line sprintf(" | %.3f", median(v, n))
        n = count[kind, "fold"]
        for (i = 1; i <= n; ++i) v[i] = seconds[kind, "write", i] / seconds[kind, "fold", i]
        line = line (n ? sprintf(" | %.2f", median(v, n)) : " | -")
      }
      for (t = 1; t <= 3; ++t) {
        tool = t == 1 ? "zorvant" : t == 2 ? "dd" : "fold"
        line = line (count[kind, tool] ? sprintf(" | %.1f MiB", rss[kind, tool] / 1024) : " | -")
      }
      print line " |"
    }
    printf "\n%d rounds per input, 256 MiB inputs%s; wall seconds are medians, ratios are medians of the per-round ratios.\n", rounds, memory == "true" ? " on tmpfs, dd bs=4M without sync" : ", dd with conv=fsync"
  }
' "$results"
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(stat -f -c %T "$data") on $(df --output=source "$data" | tail -1), Linux $(uname -r)"
