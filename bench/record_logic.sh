#!/usr/bin/env bash
# The record logic against a copy of the same bytes through the same buffers, in one run, as a
# markdown table: every case ROUNDS times, the repetitions of all cases interleaved at random
# so that the machine's drift falls on all of them alike; the median speed of each case, and
# that median as a share of the copy's.
#
#   bench/record_logic.sh [ROUNDS]        (default 9, at least 3)
#
# "Portable" cases run the build of the per-record work that every processor runs; the others
# the build the program chooses on this processor.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
rounds="${1:-9}"
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 3 ]; then
  echo "usage: bench/record_logic.sh [ROUNDS]  (ROUNDS at least 3)" >&2
  exit 2
fi

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

echo "| case | GB/s | share of the copy |"
echo "|---|---|---|"
build-release/bench/record_logic_benchmark --benchmark_repetitions="$rounds" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
  awk -F, '
    $1 ~ /_median"$/ {
      name = $1
      gsub(/"|_median|BM_/, "", name)
      speed[name] = $6 / 1e9
      names[++n] = name
    }
    END {
      for (i = 1; i <= n; ++i) {
        printf "| %s | %.2f | %.2f |\n", names[i], speed[names[i]], speed[names[i]] / speed["CopyOnly"]
      }
    }' | sort
echo
echo "$rounds rounds per case, medians; machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
