#!/usr/bin/env bash
# Whole-program benchmark: zorvant against a plain copy of the same bytes and against the nearest
# stock tool (fold), in paired rounds on the same machine in the same run, on tmpfs and on the
# disk, on a quiet machine and beside a CPU hog. Prints one markdown table of medians and of the
# medians of the per-round ratios.
#
#   bench/run.sh [--memory] [--disk] [--quiet] [--hog] [ROUNDS]   (default 9 rounds, at least 5)
#
# Without --memory or --disk both storages are measured, without --quiet or --hog both loads.
#
# memory: the inputs on tmpfs (/dev/shm), where the processor and not the disk sets the pace;
#   the copy goes through user space and syncs nothing (dd bs=4M, read and write as any
#   converter must). "write" is the floor of any converter there: the input's size of zeros
#   written to tmpfs, nothing read, nothing converted.
# disk: the inputs in bench/data/ on the project's own disk, in the page cache; the copy is
#   durable (dd bs=1M conv=fsync), as a run is.
# hog: stress-ng --cpu 2 runs beside every tool, as other work on a busy host would.
#
# ZORVANT=/path/to/zorvant measures that binary instead of the release build (to compare a
# change against a saved copy of the program).
#
# Builds the "release" preset, makes the three 256 MiB inputs where they are missing (kept for
# later runs), and converts hard links to them: the program deletes its input, and a fresh link
# per run costs nothing while the data stays in the page cache. The tools take turns going first
# from round to round, so that none always finds the machine as another left it.
# scripts/install-packages.sh bench installs what it needs.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
storages=()
loads=()
while [ $# -gt 0 ]; do
  case "$1" in
    --memory) storages+=(memory) ;;
    --disk) storages+=(disk) ;;
    --quiet) loads+=(quiet) ;;
    --hog) loads+=(hog) ;;
    *) break ;;
  esac
  shift
done
[ ${#storages[@]} -gt 0 ] || storages=(memory disk)
[ ${#loads[@]} -gt 0 ] || loads=(quiet hog)
rounds="${1:-9}"
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 5 ]; then
  echo "usage: bench/run.sh [--memory] [--disk] [--quiet] [--hog] [ROUNDS]  (ROUNDS at least 5)" >&2
  exit 2
fi

# bash 5 has a microsecond clock in EPOCHREALTIME.
if [ -z "${EPOCHREALTIME:-}" ]; then
  echo "bench/run.sh needs bash 5 or later" >&2
  exit 1
fi
# GNU time reports the peak resident memory (%M); bash's own `time` keyword cannot.
if ! [ -x /usr/bin/time ]; then
  echo "bench/run.sh needs GNU time: scripts/install-packages.sh bench" >&2
  exit 1
fi
tools_needed=(dd fold cmake ninja)
[[ " ${loads[*]} " == *" hog "* ]] && tools_needed+=(stress-ng)
for tool in "${tools_needed[@]}"; do
  command -v "$tool" >/dev/null || { echo "bench/run.sh needs $tool: scripts/install-packages.sh bench" >&2; exit 1; }
done

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
build="$root/build-release"
zorvant="${ZORVANT:-$build/zorvant}"

folder_of() { [ "$1" = memory ] && echo /dev/shm/zorvant-bench || echo "$here/data"; }
inputs=(ascii sjis lfline)
for storage in "${storages[@]}"; do
  data="$(folder_of "$storage")"
  mkdir -p "$data"
  for kind in "${inputs[@]}"; do
    if ! [ -f "$data/$kind.dat" ]; then
      echo "making $data/$kind.dat" >&2
      "$build/bench/make_bench_data" "$kind" "$data/$kind.dat.part"
      mv "$data/$kind.dat.part" "$data/$kind.dat"
    fi
  done
done

results="$(mktemp)"
hog=""
work=""
stop_hog() {
  if [ -n "$hog" ]; then
    kill "$hog" 2>/dev/null || true
    wait "$hog" 2>/dev/null || true
    hog=""
  fi
}
trap 'stop_hog; [ -z "$work" ] || rm -rf "$work"; rm -f "$results"' EXIT

# run STORAGE LOAD KIND TOOL: one timed run of TOOL on a fresh link to KIND's data; appends
# "STORAGE LOAD KIND TOOL seconds peak_KiB" to the results. The wall time covers the tool and the
# removal of its input, from bash's microsecond clock (GNU time's %e has only centiseconds); the
# peak memory is the tool's own, without the shell around it. The input name is marked ("0502"),
# so the split output is in play; it is appended to, so the folder is emptied after every run.
run() {
  local storage="$1" load="$2" kind="$3" tool="$4" start end
  local input="$work/X0502.dat"
  ln "$data/$kind.dat" "$input"
  start=$EPOCHREALTIME
  case "$tool" in
    zorvant)
      /usr/bin/time -f %M -o "$work/rss" "$zorvant" "$input"
      ;;
    dd)
      if [ "$storage" = memory ]; then
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
  result="$storage $load $kind $tool $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }') $(cat "$work/rss")"
  echo "  $result" >&2
  echo "$result" >>"$results"
  # Outside the timing: drop the outputs, and write back whatever is still dirty (fold does not
  # sync), so that no run pays for the one before.
  find "$work" -mindepth 1 -delete
  [ "$storage" = memory ] || sync
}

for storage in "${storages[@]}"; do
  data="$(folder_of "$storage")"
  # Each run works in an empty folder on the same file system as the data (hard links need it).
  work="$data/run"
  rm -rf "$work"
  mkdir -p "$work"
  for kind in "${inputs[@]}"; do cat "$data/$kind.dat" >/dev/null; done  # into the page cache
  for load in "${loads[@]}"; do
    if [ "$load" = hog ]; then
      stress-ng --cpu 2 --quiet &
      hog=$!
      sleep 1
    fi
    for kind in "${inputs[@]}"; do
      tools=(zorvant dd fold)
      # fold takes LF for a line end, which in this input it is not: there is no stock peer.
      [ "$kind" = lfline ] && tools=(zorvant dd)
      [ "$storage" = memory ] && tools+=(write)
      for ((round = 1; round <= rounds; ++round)); do
        echo "$storage, $load, $kind: round $round of $rounds" >&2
        for ((turn = 0; turn < ${#tools[@]}; ++turn)); do
          run "$storage" "$load" "$kind" "${tools[(round + turn) % ${#tools[@]}]}"
        done
      done
    done
    stop_hog
  done
  rm -rf "$work"
done

# Medians of the wall times, medians of the per-round ratios, and the largest peak memory.
awk -v rounds="$rounds" '
  function median(values, n,   i, j, t) {
    for (i = 2; i <= n; ++i)
      for (j = i; j > 1 && values[j - 1] > values[j]; --j) {
        t = values[j]; values[j] = values[j - 1]; values[j - 1] = t
      }
    return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
  }
  function seconds_of(set, tool,   n, i) {
    n = count[set, tool]
    if (n == 0) return " | -"
    for (i = 1; i <= n; ++i) v[i] = seconds[set, tool, i]
    return sprintf(" | %.3f", median(v, n))
  }
  function ratio_of(set, tool, other,   n, i) {
    n = count[set, other]
    if (n == 0 || count[set, tool] == 0) return " | -"
    for (i = 1; i <= n; ++i) v[i] = seconds[set, tool, i] / seconds[set, other, i]
    return sprintf(" | %.2f", median(v, n))
  }
  {
    set = $1 SUBSEP $2 SUBSEP $3; tool = $4
    if (!(set in seen)) { seen[set] = 1; order[++sets] = set }
    count[set, tool]++
    seconds[set, tool, count[set, tool]] = $5
    if ($6 > rss[set, tool]) rss[set, tool] = $6
  }
  END {
    print "| storage | load | input | zorvant s | copy s | fold s | write s | zorvant / copy | zorvant / fold | write / copy | peak RSS zorvant | copy |"
    print "|---|---|---|---|---|---|---|---|---|---|---|---|"
    for (k = 1; k <= sets; ++k) {
      set = order[k]
      split(set, parts, SUBSEP)
      line = "| " (parts[1] == "memory" ? "tmpfs" : "disk") " | " parts[2] " | " parts[3]
      line = line seconds_of(set, "zorvant") seconds_of(set, "dd") seconds_of(set, "fold") seconds_of(set, "write")
      line = line ratio_of(set, "zorvant", "dd") ratio_of(set, "zorvant", "fold") ratio_of(set, "write", "dd")
      line = line sprintf(" | %.1f MiB | %.1f MiB |", rss[set, "zorvant"] / 1024, rss[set, "dd"] / 1024)
      print line
    }
    printf "\n%d paired rounds per row, 256 MiB inputs; the copy is dd bs=4M on tmpfs, dd bs=1M conv=fsync on the disk; hog: stress-ng --cpu 2 beside every run. Wall seconds are medians, ratios medians of the per-round ratios.\n", rounds
  }
' "$results"
for storage in "${storages[@]}"; do
  data="$(folder_of "$storage")"
  echo "$storage: $(stat -f -c %T "$data") on $(df --output=source "$data" | tail -1)"
done
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
