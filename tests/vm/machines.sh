# The virtual machines of the shared-storage cases, sourced by run.sh: a file server and two
# client hosts, each its own kernel under qemu (software emulation), joined by a bridge inside a
# network namespace that this script makes and removes, with no route out of it.
#
#   start_machines CACHE WORK   boots them, each on an overlay of CACHE/root.img
#   on HOST SCRIPT              runs SCRIPT (sh) on HOST, prints its output, gives its status
#   submit HOST SCRIPT          starts SCRIPT on HOST, prints a ticket for `collect`
#   collect HOST TICKET         waits for it as `on` does
#   restart_machine HOST        powers HOST off and boots it again
#   stop_machines               powers them off and removes the network
#
# The host shares WORK/share with every machine, as /host.
machines=(server host1 host2)
declare -A address=([server]=10.77.0.1 [host1]=10.77.0.2 [host2]=10.77.0.3)
declare -A role=([server]=server [host1]=client [host2]=client)
# Machines that boot alike number their mounts alike: host2 makes a few first.
declare -A spare_mounts=([server]=0 [host1]=0 [host2]=3)
namespace="zorvant-vm-$$"

start_machines() {
  local cache=$1 index=0 name
  work=$2
  share="$work/share"
  mkdir -p "$share/jobs" "$share/bin"
  ip netns add "$namespace"
  ip -n "$namespace" link add bridge0 type bridge
  ip -n "$namespace" link set bridge0 up
  for name in "${machines[@]}"; do
    index=$((index + 1))
    ip -n "$namespace" tuntap add dev "tap$index" mode tap
    ip -n "$namespace" link set "tap$index" master bridge0 up
    qemu-img create -q -f qcow2 -b "$cache/root.img" -F raw "$work/$name.qcow2"
    tap[$name]=$index
    boot_machine "$cache" "$name"
  done
  for name in "${machines[@]}"; do wait_for_machine "$name" || return 1; done
}

# Powers HOST off at once, as a power cut would, and boots it again from its disk.
restart_machine() {
  kill -KILL "$(cat "$work/$1.pid")"
  sleep 1
  rm -f "$share/jobs/$1.ready"
  boot_machine "$cache" "$1"
  wait_for_machine "$1"
}

declare -A tap
boot_machine() {
  local cache=$1 name=$2 index=${tap[$2]}
  ip netns exec "$namespace" qemu-system-x86_64 -accel tcg -smp 1 -m 512 \
    -display none -monitor none -serial "file:$work/$name.console" \
    -kernel "$cache/vmlinuz" -initrd "$cache/initrd.img" \
    -append "root=/dev/vda rw init=/sbin/zorvant-vm-init console=ttyS0 net.ifnames=0 quiet \
panic=-1 zvm.name=$name zvm.ip=${address[$name]} zvm.role=${role[$name]} \
zvm.spare_mounts=${spare_mounts[$name]}" \
    -drive "file=$work/$name.qcow2,if=virtio,format=qcow2" \
    -netdev "tap,id=net0,ifname=tap$index,script=no,downscript=no" \
    -device "virtio-net-pci,netdev=net0,mac=52:54:00:77:00:0$index" \
    -virtfs "local,path=$share,mount_tag=host,security_model=none,id=host" \
    -no-reboot -pidfile "$work/$name.pid" -daemonize
}

wait_for_machine() {
  local waited
  for ((waited = 0; waited < 600; waited++)); do
    [ -e "$share/jobs/$1.ready" ] && return 0
    sleep 1
  done
  tail -20 "$work/$1.console" >&2
  echo "machine $1 did not start" >&2
  return 1
}

stop_machines() {
  local name
  for name in "${machines[@]}"; do
    [ -f "$work/$name.pid" ] && kill "$(cat "$work/$name.pid")" 2>/dev/null
  done
  sleep 1
  ip netns delete "$namespace" 2>/dev/null
  return 0
}

submit() {
  local job
  job=$(mktemp -p "$share/jobs/$1" job.XXXXXX) || return 1
  printf '%s\n' "$2" >"$job.new"
  mv "$job.new" "$job.sh"
  basename "$job"
}

collect() {
  local base="$share/jobs/$1/$2" waited
  for ((waited = 0; waited < 6000; waited++)); do
    [ -e "$base.rc" ] && break
    sleep 0.1
  done
  [ -e "$base.rc" ] || { echo "no answer from $1 to job $2" >&2; return 124; }
  cat "$base.out"
  cat "$base.err" >&2
  return "$(cat "$base.rc")"
}

on() {
  local job
  job=$(submit "$1" "$2")
  collect "$1" "$job"
}
