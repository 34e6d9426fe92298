#!/usr/bin/env bash
# zorvant on several hosts over one shared folder, in virtual machines: an NFS and Samba file
# server and two client hosts, each mounting its export over NFS v3, NFS v4.2 (the default
# mount) and SMB 3 (CIFS, with every file shown writable by all). Each case does what operators
# do on such hosts (kill a run on one host and retry on the other, run on both at once, delete or
# write an input from the other host, restart the server) and checks the folders against what
# one clean run leaves, worked out from the records, not by the program.
#
#   tests/vm/run.sh BUILD_DIR [CASE...]
#
# Needs root, qemu-system-x86_64 and a Debian mirror for the machines' root the first time
# (tests/vm/make_image.sh, cached); exits 77 saying why where it has none of them. One line a
# case; the status is 1 when any case failed.
set -uo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [CASE...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(converts at-once shared-split deleted-elsewhere
  writer-elsewhere not-writable kill-elsewhere kill-here all-writable server-restart)
cache="${ZORVANT_VM_CACHE:-/var/cache/zorvant/vm}"

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "the machines' network and root need root"
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"
[ -e /dev/net/tun ] || skip "no /dev/net/tun for the machines' network"
ip netns add "zorvant-vm-probe-$$" 2>/dev/null || skip "no network namespaces here"
ip netns delete "zorvant-vm-probe-$$"
made=0
bash "$here/make_image.sh" || made=$?
[ "$made" -eq 0 ] || exit "$made"

work=$(mktemp -d /tmp/zorvant-vm.XXXXXX)
source "$here/machines.sh"
trap 'stop_machines; rm -rf "$work"' EXIT
started=$(date +%s)
start_machines "$cache" "$work" || exit 1
cp "$build/zorvant" "$build/tests/zorvant_lock_holder" "$here/guest_lib.sh" "$share/bin/"
echo "machines up in $(($(date +%s) - started)) s"

# Both clients mount the one export three ways. v4 is mounted as it comes (4.2 here).
mounts='mkdir -p /mnt/v3 /mnt/v4 /mnt/smb
mount -t nfs -o vers=3,hard server:/export /mnt/v3 &&
mount -t nfs -o hard server:/export /mnt/v4 &&
mount -t cifs //server/share /mnt/smb -o username=root,password=zorvant,file_mode=0777,dir_mode=0777 &&
grep -q "/mnt/v4 nfs4 .*vers=4.2" /proc/mounts && stat -c "%d" /mnt/v3'
dev1=$(on host1 "$mounts") || exit 1
dev2=$(on host2 "$mounts") || exit 1
[ "$dev1" != "$dev2" ] || { echo "both hosts number the share $dev1: they would hide faults"; exit 1; }

source "$here/cases.sh"
for name in "${cases[@]}"; do run_case "$name"; done
echo "$failures failed; the stage took $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
