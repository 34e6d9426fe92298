#!/bin/sh
# The first process of each virtual machine of the shared-storage cases, in place of systemd:
# mounts what the system needs, joins the test network, starts the file server's services or a
# client's, then runs the scripts the host puts in its folder of the host's shared folder, one
# after another, until the machine is powered off.
#
# The kernel's command line says who it is: zvm.name=NAME zvm.ip=ADDRESS zvm.role=server|client
# zvm.spare_mounts=N (tmpfs mounts made first, so that the share's device number differs between
# machines that booted alike, as between real hosts).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mount -o remount,rw /

for word in $(cat /proc/cmdline); do
  case "$word" in
  zvm.*=*) key=${word%%=*}; eval "${key#zvm.}=\${word#*=}" ;;
  esac
done
hostname "$name"
printf '127.0.0.1 localhost\n10.77.0.1 server\n10.77.0.2 host1\n10.77.0.3 host2\n' >/etc/hosts
ip link set lo up
ip addr add "$ip/24" dev eth0
ip link set eth0 up

modprobe 9pnet_virtio
modprobe 9p
mkdir -p /host
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none host /host

i=0
while [ "$i" -lt "${spare_mounts:-0}" ]; do
  mkdir -p "/spare/$i" && mount -t tmpfs tmpfs "/spare/$i"
  i=$((i + 1))
done

mkdir -p /run/rpcbind /var/lib/nfs/sm /var/lib/nfs/sm.bak /var/lib/nfs/v4recovery
rpcbind -w
# The server tells clients of its restart, so that they take their locks again.
[ "$role" = server ] && rpc.statd || rpc.statd --no-notify

start_file_server() {
  mkdir -p /export/smb /proc/fs/nfsd
  mount -t nfsd nfsd /proc/fs/nfsd
  echo '/export 10.77.0.0/24(rw,sync,no_subtree_check,no_root_squash,insecure)' >/etc/exports
  exportfs -ra
  # A short grace period: after a restart the server takes new locks after 10 s, not 90.
  echo 10 >/proc/fs/nfsd/nfsv4leasetime 2>/dev/null
  echo 10 >/proc/fs/nfsd/nfsv4gracetime 2>/dev/null
  rpc.nfsd 4
  rpc.mountd
  mkdir -p /var/log/samba /var/lib/samba/private /run/samba
  cat >/etc/samba/smb.conf <<'CONF'
[global]
  server role = standalone server
  map to guest = never
  smb ports = 445
  log file = /var/log/samba/smbd.log
[share]
  path = /export/smb
  read only = no
  force user = root
CONF
  printf 'zorvant\nzorvant\n' | smbpasswd -s -a root >/dev/null
  smbd -D
}
[ "$role" = server ] && start_file_server

jobs="/host/jobs/$name"
mkdir -p "$jobs"
touch "/host/jobs/$name.ready"
# Each job is a script JOB.sh, run as soon as it is found, beside any other still running; its
# output goes to JOB.out and JOB.err, its status last to JOB.rc.
run_job() {
  (cd /root && sh "$1.running" >"$1.out" 2>"$1.err" </dev/null)
  echo $? >"$1.rc.new"
  mv "$1.rc.new" "$1.rc"
}
while :; do
  for job in "$jobs"/*.sh; do
    [ -e "$job" ] || continue
    base=${job%.sh}
    mv "$job" "$base.running"
    run_job "$base" &
  done
  sleep 0.2
done
