#!/usr/bin/env bash
# Many small inputs, one run each, as a pipeline hands them over: what a run costs per file when
# the syncs and not the conversion set the pace. Each batch is N copies of one 64 KiB input
# converted one after another; the baseline is the same bytes copied durably by dd (conv=fsync)
# and the input removed, on fresh copies of the same files. The two alternate which goes first
# per round. Marked inputs (X0502-<i>.dat) also write a split output each, and so sync more than
# unmarked ones (X0501-<i>.dat). Prints a markdown table per file system: medians over the rounds
# of the time per file, the median of the per-round ratios, and the syncs (fsync and fdatasync)
# of one run, counted with strace ("-" without it).
#
#   bench/small_files.sh [--files N] [--rounds R] [FOLDER...]   (default 150 files, 5 rounds, R >= 3)
#
# Without FOLDER, as root: on an ext4 and an XFS image (512 MiB each, on loop devices, kept on the
# project's own disk), mounted for the run and removed at the end. XFS is skipped without
# mkfs.xfs (scripts/install-packages.sh filesystems installs it). With FOLDERs: in a fresh folder
# inside each of them instead.
#
# ZORVANT=/path/to/zorvant measures that binary instead of the release build.
set -euo pipefail
# A batch runs in a command substitution: a failed copy or run there must stop the bench too.
shopt -s inherit_errexit

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
usage() {
  echo "usage: bench/small_files.sh [--files N] [--rounds R] [FOLDER...]  (R at least 3)" >&2
  exit 2
}
files=150
rounds=5
folders=()
while [ $# -gt 0 ]; do
  case "$1" in
    --files) [ $# -ge 2 ] || usage; files="$2"; shift 2 ;;
    --rounds) [ $# -ge 2 ] || usage; rounds="$2"; shift 2 ;;
    -*) usage ;;
    *) folders+=("$1"); shift ;;
  esac
done
if ! [[ "$files" =~ ^[0-9]+$ ]] || [ "$files" -lt 1 ]; then usage; fi
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 3 ]; then usage; fi

# bash 5 has a microsecond clock in EPOCHREALTIME.
if [ -z "${EPOCHREALTIME:-}" ]; then
  echo "bench/small_files.sh needs bash 5 or later" >&2
  exit 1
fi
for tool in dd awk; do
  command -v "$tool" >/dev/null || { echo "bench/small_files.sh needs $tool" >&2; exit 1; }
done

# Only the program is needed, so only it is built: a half-edited benchmark or test elsewhere in
# the tree does not stop this one.
if [ -z "${ZORVANT:-}" ]; then
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target zorvant >/dev/null)
fi
zorvant="$(realpath "${ZORVANT:-$root/build-release/zorvant}")"
[ -x "$zorvant" ] || { echo "no program at $zorvant" >&2; exit 1; }

# Everything made here (the input, the images, the work folders) goes at the end, whatever
# happened; the images are unmounted first. The scratch folder is in build-release/, on the
# project's disk and out of git's sight.
mkdir -p "$root/build-release"
scratch="$(mktemp -d "$root/build-release/small_files.XXXXXX")"
mounted=()
works=()
cleanup() {
  local i
  for ((i = ${#works[@]} - 1; i >= 0; i--)); do rm -rf "${works[i]}"; done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The input: 254 lines of one record each (65532 bytes), the types taking turns so that a marked
# run has type-2 records for its split output.
input="$scratch/input.dat"
awk 'BEGIN {
  for (i = 0; i < 254; ++i) {
    r = "K000" (i % 3 + 1)
    for (j = 5; j < 256; ++j) r = r sprintf("%c", 65 + (i + j) % 26)
    printf "%s\r\n", r
  }
}' >"$input"
size=$(stat -c %s "$input")

# The file systems: "label folder" per line.
places=()
if [ ${#folders[@]} -gt 0 ]; then
  for folder in "${folders[@]}"; do
    [ -d "$folder" ] || { echo "no folder $folder" >&2; exit 1; }
    folder="$(realpath "$folder")"
    places+=("$folder ($(stat -f -c %T "$folder"))|$folder")
  done
else
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench/small_files.sh needs root to mount its images; or name the FOLDERs to bench in" >&2
    exit 1
  fi
  for kind in ext4 xfs; do
    if ! command -v "mkfs.$kind" >/dev/null; then
      echo "no mkfs.$kind: skipping $kind (scripts/install-packages.sh filesystems installs it)" >&2
      continue
    fi
    # Sparse: only what the runs write takes space on the disk below.
    truncate -s 512M "$scratch/$kind.img"
    "mkfs.$kind" -q "$scratch/$kind.img"
    mkdir "$scratch/$kind"
    mount -o loop "$scratch/$kind.img" "$scratch/$kind"
    mounted+=("$scratch/$kind")
    places+=("$kind (loop image)|$scratch/$kind")
  done
  [ ${#places[@]} -gt 0 ] || { echo "no file system to bench on" >&2; exit 1; }
fi

# prepare CODE: N fresh inputs named X<CODE>-<i>.dat, written back before any timing starts.
prepare() {
  local i
  for ((i = 1; i <= files; ++i)); do cp "$input" "$work/X$1-$i.dat"; done
  sync
}

# clear: outputs gone and written back, so that no batch pays for the one before.
clear_work() {
  find "$work" -mindepth 1 -delete
  sync
}

# count PATTERN: how many files in the work folder match.
count() {
  find "$work" -mindepth 1 -maxdepth 1 -name "$1" -printf . | wc -c
}

# batch TOOL CODE: prints the seconds that TOOL takes for the N inputs, one run each, and checks
# that it did what it should.
batch() {
  local tool="$1" code="$2" i f start end
  prepare "$code"
  start=$EPOCHREALTIME
  if [ "$tool" = zorvant ]; then
    for ((i = 1; i <= files; ++i)); do "$zorvant" "$work/X$code-$i.dat"; done
  else
    for ((i = 1; i <= files; ++i)); do
      f="$work/X$code-$i.dat"
      dd if="$f" of="$f.txt" bs=64k conv=fsync status=none && rm "$f"
    done
  fi
  end=$EPOCHREALTIME
  if [ "$(count "*.dat")" -ne 0 ] || [ "$(count "X$code-*.dat.txt")" -ne "$files" ]; then
    echo "$tool on X$code-*.dat: inputs left or main outputs missing" >&2
    exit 1
  fi
  if [ "$tool" = zorvant ] && [ "$code" = 0502 ] && [ "$(count "X1101-*.dat.txt")" -ne "$files" ]; then
    echo "zorvant on marked inputs: split outputs missing" >&2
    exit 1
  fi
  clear_work
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }'
}

# syncs CODE: fsync and fdatasync calls of one run on a fresh input, or "-" without strace.
syncs() {
  command -v strace >/dev/null || { echo -; return; }
  cp "$input" "$work/X$1-0.dat"
  sync
  strace -f -c -e trace=fsync,fdatasync -o "$scratch/strace" "$zorvant" "$work/X$1-0.dat"
  clear_work
  awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$scratch/strace"
}

started=$EPOCHREALTIME
for place in "${places[@]}"; do
  label="${place%%|*}"
  work="$(mktemp -d "${place#*|}/small_files.XXXXXX")"
  works+=("$work")
  results="$scratch/results"
  : >"$results"
  for code in 0502 0501; do
    name=$([ "$code" = 0502 ] && echo marked || echo unmarked)
    echo "$name $(syncs "$code")" >>"$scratch/syncs"
    for ((round = 1; round <= rounds; ++round)); do
      echo "$label, $name: round $round of $rounds" >&2
      # Each goes first in every other round, so that neither always finds the disk as the
      # other left it.
      if ((round % 2)); then
        a=$(batch zorvant "$code"); b=$(batch dd "$code")
      else
        b=$(batch dd "$code"); a=$(batch zorvant "$code")
      fi
      echo "$name $a $b" >>"$results"
    done
  done
  echo
  echo "### $label"
  echo
  awk -v files="$files" '
    function median(v, n,   i, j, t) {
      for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    FILENAME ~ /syncs$/ { syncs[$1] = $2; next }
    { n = ++count[$1]; z[$1, n] = $2 * 1000 / files; d[$1, n] = $3 * 1000 / files; r[$1, n] = $2 / $3 }
    END {
      print "| input | zorvant per file (ms) | dd conv=fsync + rm per file (ms) | ratio | syncs per run |"
      print "|---|---|---|---|---|"
      split("marked unmarked", names, " ")
      for (k = 1; k <= 2; ++k) {
        name = names[k]; n = count[name]
        for (i = 1; i <= n; ++i) { a[i] = z[name, i]; b[i] = d[name, i]; c[i] = r[name, i] }
        printf "| %s (X%s-<i>.dat) | %.2f | %.2f | %.2f | %s |\n", name, k == 1 ? "0502" : "0501",
          median(a, n), median(b, n), median(c, n), syncs[name]
      }
    }' "$scratch/syncs" "$results"
  rm -f "$scratch/syncs"
done
echo
echo "$files inputs of $size bytes per batch, $rounds rounds; per-file times are medians of the batch time / $files, the ratio the median of the per-round ratios."
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), on $(df --output=source "$scratch" | tail -1), Linux $(uname -r). Benched in $(awk -v s="$started" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", e - s }') s."
