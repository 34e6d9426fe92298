#!/usr/bin/env bash
# Two builds of zorvant against each other, alternating on the same inputs in the same run, for
# a change that a run of bench/run.sh alone would hide in the machine's noise: medians of the
# wall times and of the per-round ratios, as a markdown table.
#
#   bench/compare.sh PROGRAM BASELINE [ROUNDS]        (default 11 rounds)
#
# The inputs are bench/run.sh --memory's, on /dev/shm: run that once first.
set -euo pipefail
program="$1"
baseline="$2"
rounds="${3:-11}"
data=/dev/shm/zorvant-bench
for kind in ascii sjis lfline; do
  [ -f "$data/$kind.dat" ] || { echo "no $data/$kind.dat: run bench/run.sh --memory first" >&2; exit 1; }
done
work="$data/compare"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# seconds PROGRAM KIND: one run on a fresh link to KIND's data, with the removal of its input.
seconds() {
  ln "$data/$2.dat" "$work/X0502.dat"
  local start=$EPOCHREALTIME
  "$1" "$work/X0502.dat"
  local end=$EPOCHREALTIME
  [ ! -e "$work/X0502.dat" ] || { echo "$1 left its input in place" >&2; exit 1; }
  find "$work" -mindepth 1 -delete
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }'
}

echo "| input | program s | baseline s | program / baseline |"
echo "|---|---|---|---|"
for kind in ascii sjis lfline; do
  rows=()
  for ((round = 1; round <= rounds; ++round)); do
    # Each goes first in every other round, so that neither always finds the cache as the
    # other left it.
    if ((round % 2)); then
      a=$(seconds "$program" "$kind"); b=$(seconds "$baseline" "$kind")
    else
      b=$(seconds "$baseline" "$kind"); a=$(seconds "$program" "$kind")
    fi
    rows+=("$a $b")
  done
  printf '%s\n' "${rows[@]}" | awk -v kind="$kind" '
    function median(v, n,   i, j, t) {
      for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    { a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
    END { printf "| %s | %.3f | %.3f | %.2f |\n", kind, median(a, NR), median(b, NR), median(r, NR) }'
done
