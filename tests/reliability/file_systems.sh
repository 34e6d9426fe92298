#!/usr/bin/env bash
# The reliability cases again with their work folder on each kind of file system an input may
# sit on: ext4, XFS and btrfs (images on loop devices), tmpfs, overlayfs (upper layer on tmpfs)
# and a FUSE passthrough (bindfs over a folder of the default disk, as it is and showing every
# file writable by all). They differ in what the run leans on: birth times, generation numbers,
# hard links for the pin, leases, locks, renames without replacing, what fsync does, what
# permissions mean.
#
#   tests/reliability/file_systems.sh ZORVANT [CASE...]
#
# Mounting needs root (bindfs only FUSE); a file system the machine cannot mount is skipped with
# the reason. Everything mounted is unmounted and removed at the end, whatever happened. One line
# for each file system and case, then the totals; the status is 1 when any case failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 ZORVANT [CASE...]" >&2; exit 2; }
zorvant=$(realpath "$1")
shift
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(faults kill signals concurrent links hostile reuse namespaced identity durability)

base=$(mktemp -d)
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    # A process a case left behind may still hold a file: then the mount goes once it lets go
    # (a loop device with it, being set to clear itself).
    if [ "$(id -u)" -eq 0 ]; then
      umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
    else
      fusermount3 -u "${mounted[i]}" 2>/dev/null || fusermount -u "${mounted[i]}" ||
        fusermount3 -uz "${mounted[i]}"
    fi
  done
  rm -rf "$base"
}
trap cleanup EXIT
# A case stopped halfway ends first (its own trap removes its folder), then the mounts go.
running=
stop() {
  [ -z "$running" ] || { kill "$running" 2>/dev/null; wait "$running"; }
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM HUP

# Each mount_<kind> mounts one file system on $1, or says in $why why it cannot.
why=
cannot() {
  why=${1%%$'\n'*}
  return 1
}
need_root() { [ "$(id -u)" -eq 0 ] || cannot "not root"; }

# $1 kind, $2 mkfs program, $3 image size; the folder to mount on is $4.
mount_image() {
  need_root || return 1
  command -v "$2" >/dev/null || { cannot "no $2"; return; }
  losetup -f >/dev/null 2>&1 || { cannot "no free loop device"; return; }
  # Sparse: only what the cases write takes space on the disk below.
  truncate -s "$3" "$base/$1.img" || { cannot "cannot make an image"; return; }
  local error
  error=$("$2" -q "$base/$1.img" 2>&1 >/dev/null) || { cannot "$2: $error"; return; }
  error=$(mount -o loop "$base/$1.img" "$4" 2>&1) || { cannot "mount: $error"; return; }
  mounted+=("$4")
}
mount_ext4() { mount_image ext4 mkfs.ext4 128M "$1"; }
# 300 MiB: the smallest either mkfs takes.
mount_xfs() { mount_image xfs mkfs.xfs 300M "$1"; }
mount_btrfs() { mount_image btrfs mkfs.btrfs 300M "$1"; }

mount_tmpfs() {
  need_root || return 1
  local error
  error=$(mount -t tmpfs -o size=256M tmpfs "$1" 2>&1) || { cannot "mount: $error"; return; }
  mounted+=("$1")
}

# The cases make every file anew, so all of them live in the upper layer: what overlayfs does
# there of its own (its inode numbers, leases and locks passed on to the layer below).
mount_overlay() {
  mkdir "$base/layers" && mount_tmpfs "$base/layers" || return 1
  mkdir "$base/layers/lower" "$base/layers/upper" "$base/layers/work"
  local error
  error=$(mount -t overlay overlay -o "lowerdir=$base/layers/lower,upperdir=$base/layers/upper,\
workdir=$base/layers/work" "$1" 2>&1) || { cannot "mount: $error"; return; }
  mounted+=("$1")
}

# bindfs keeps the inode numbers of the folder below; FUSE gives no birth times.
mount_bindfs() {
  command -v bindfs >/dev/null || { cannot "no bindfs"; return; }
  [ -e /dev/fuse ] || { cannot "no /dev/fuse"; return; }
  { [ -r /dev/fuse ] && [ -w /dev/fuse ]; } || { cannot "/dev/fuse is closed to this user"; return; }
  [ "$(id -u)" -eq 0 ] || command -v fusermount3 >/dev/null || command -v fusermount >/dev/null ||
    { cannot "not root, and no fusermount"; return; }
  mkdir -p "$base/below${2-}"
  local error
  error=$(bindfs ${2:+-p "$2"} "$base/below${2-}" "$1" 2>&1) || { cannot "bindfs: $error"; return; }
  mounted+=("$1")
}
# A mount that shows every file writable by all, as SMB with file_mode=0777 or FAT with
# umask=000 do: the program's own undo records must still be acted on there.
mount_writable() { mount_bindfs "$1" a+w; }

# Why case $2 cannot run on file system $1, if it cannot.
unfit() {
  case "$1/$2" in
  # bindfs reaches each file by its whole path below, which the system keeps under PATH_MAX.
  bindfs/hostile | writable/hostile)
    echo "its folders deeper than PATH_MAX cannot be made through bindfs" ;;
  # Its retries begin with a read-only input, which such a mount shows writable.
  writable/identity) echo "a read-only input shows writable there" ;;
  *) return 1 ;;
  esac
}

passed=0
failed=0
skipped=0
start=$SECONDS
for kind in ext4 xfs btrfs tmpfs overlay bindfs writable; do
  folder="$base/$kind"
  mkdir "$folder"
  if ! mount_"$kind" "$folder"; then
    for case_name in "${cases[@]}"; do
      printf '%-8s %-11s skip: %s\n' "$kind" "$case_name" "$why"
      skipped=$((skipped + 1))
    done
    continue
  fi
  for case_name in "${cases[@]}"; do
    if why=$(unfit "$kind" "$case_name"); then
      printf '%-8s %-11s skip: %s\n' "$kind" "$case_name" "$why"
      skipped=$((skipped + 1))
      continue
    fi
    log="$base/$kind-$case_name.log"
    began=$SECONDS
    # In the background: a signal to this script is acted on at once, not when the case ends.
    TMPDIR=$folder timeout -k 10 600 bash "$here/run_case.sh" "$zorvant" "$case_name" >"$log" 2>&1 &
    running=$!
    wait $running
    status=$?
    running=
    took=$((SECONDS - began))
    if [ $status -eq 0 ]; then
      printf '%-8s %-11s pass (%d s)\n' "$kind" "$case_name" "$took"
      passed=$((passed + 1))
    elif [ $status -eq 77 ]; then
      printf '%-8s %-11s skip: %s\n' "$kind" "$case_name" "$(tail -n 1 "$log")"
      skipped=$((skipped + 1))
    else
      printf '%-8s %-11s fail (%d s, status %d):\n' "$kind" "$case_name" "$took" "$status"
      tail -n 3 "$log" | sed 's/^/    /'
      failed=$((failed + 1))
    fi
  done
done
echo "all file systems: $((SECONDS - start)) s"
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
