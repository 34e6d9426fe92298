#!/usr/bin/env bash
# Makes, once, the disk image the virtual machines of the shared-storage cases boot from: a
# Debian 12 root (debootstrap) with Debian's kernel, an NFS server and client, Samba and the
# CIFS client, and an init of the harness's own that starts in seconds, not systemd. Kept in
# $ZORVANT_VM_CACHE (by default /var/cache/zorvant/vm) for later runs:
#   vmlinuz, initrd.img  the kernel and its initial root, taken from the image
#   root.img             the ext4 image itself (every machine boots an overlay of it)
#
#   make_image.sh
#
# Exits 77, saying why, where it cannot be made: not root, no debootstrap, no mirror.
set -euo pipefail
export LC_ALL=C
cache="${ZORVANT_VM_CACHE:-/var/cache/zorvant/vm}"
mirror="${ZORVANT_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
here="$(cd "$(dirname "$0")" && pwd)"

[ -f "$cache/root.img" ] && [ -f "$cache/vmlinuz" ] && [ -f "$cache/initrd.img" ] &&
  [ "$cache/root.img" -nt "$here/guest_init.sh" ] && exit 0
[ "$(id -u)" -eq 0 ] || { echo "skipped: making the machines' root needs root"; exit 77; }
command -v debootstrap >/dev/null || { echo "skipped: no debootstrap"; exit 77; }

mkdir -p "$cache"
root="$cache/root.partial"
if [ ! -x "$cache/root/usr/sbin/rpc.nfsd" ]; then
  rm -rf "$root"
  packages=linux-image-amd64,initramfs-tools,kmod,iproute2,procps,util-linux,nfs-kernel-server
  packages+=,nfs-common,rpcbind,samba,cifs-utils,e2fsprogs,strace
  if ! debootstrap --variant=minbase --include="$packages" bookworm "$root" "$mirror" \
    >"$cache/debootstrap.log" 2>&1; then
    echo "skipped: no Debian 12 root could be made from $mirror ($(tail -1 "$cache/debootstrap.log"))"
    rm -rf "$root"
    exit 77
  fi
  # Modules the machines load at boot: the disk, the host's shared folder, the network.
  printf '%s\n' virtio_pci virtio_blk virtio_net ext4 >>"$root/etc/initramfs-tools/modules"
  chroot "$root" update-initramfs -u -k all >/dev/null 2>&1
  rm -rf "$cache/root"
  mv "$root" "$cache/root"
fi
install -m 0755 "$here/guest_init.sh" "$cache/root/sbin/zorvant-vm-init"
cp "$cache/root"/boot/vmlinuz-* "$cache/vmlinuz"
cp "$cache/root"/boot/initrd.img-* "$cache/initrd.img"
rm -f "$cache/root.img.partial"
mkfs.ext4 -q -L zorvant-vm -d "$cache/root" "$cache/root.img.partial" 2G
mv "$cache/root.img.partial" "$cache/root.img"
