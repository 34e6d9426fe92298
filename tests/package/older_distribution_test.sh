#!/usr/bin/env bash
# Installs the Debian package, the RPM's program and the tarball's program into a root of an
# older distribution, Debian 11 (C library 2.31), and converts the sample inside it with each:
# the packages must start on the systems they are made for, not only on the build machine.
#
#   older_distribution_test.sh BUILD_DIR
#
# The root is made once with debootstrap and kept in $ZORVANT_OLDER_ROOT (by default
# /var/cache/zorvant/bullseye) for later runs. Needs root. Exits 77 (skipped), saying why, where
# no root can be made: not root, no debootstrap, or no Debian mirror to make it from.
set -euo pipefail
export LC_ALL=C

build_dir="$(cd "$1" && pwd)"
linkage=portable
older_root="${ZORVANT_OLDER_ROOT:-/var/cache/zorvant/bullseye}"
mirror="${ZORVANT_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

source "$(dirname "$0")/package_test_lib.sh"
[ "$(id -u)" -eq 0 ] || { echo "skipped: making and entering a root needs root"; exit 77; }
require "cmake, rpm, rpm2cpio, cpio, debootstrap" cpack rpmbuild rpm2cpio cpio debootstrap chroot

if [ ! -x "$older_root/usr/bin/dpkg" ]; then
  rm -rf "$older_root.partial"
  mkdir -p "$(dirname "$older_root")"
  if ! debootstrap --variant=minbase bullseye "$older_root.partial" "$mirror" \
    >"$older_root.log" 2>&1; then
    echo "skipped: no Debian 11 root could be made from $mirror ($(tail -1 "$older_root.log"))"
    rm -rf "$older_root.partial"
    exit 77
  fi
  mv "$older_root.partial" "$older_root"
fi

work="$(mktemp -d)"
inside="$older_root/zorvant-test"
cleanup() {
  chroot "$older_root" dpkg --purge zorvant >/dev/null 2>&1 || true
  rm -rf "$work" "$inside"
}
trap cleanup EXIT
rm -rf "$inside"
mkdir -p "$inside"

# convert_inside PROGRAM NAME: the sample converted inside the root by PROGRAM, a path there.
convert_inside() {
  # The sample's files are made outside the root, under its folder: the wrapper enters the root.
  bash "$(dirname "$0")/convert_sample.sh" "$(wrapper "$2-inside" chroot "$older_root" /bin/sh -c \
    "cd /zorvant-test/$2/data && exec $1 \"\$@\"" sh)" "$inside/$2"
  echo "converts in Debian 11: $2"
}

echo "Debian 11 root: $(chroot "$older_root" /usr/bin/ldd --version | head -1)"

build_package DEB "$build_dir"
cp "$work"/out/zorvant_*.deb "$inside/zorvant.deb"
chroot "$older_root" dpkg --install /zorvant-test/zorvant.deb >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log" >&2; fail "dpkg refuses the package in Debian 11"; }
convert_inside /usr/bin/zorvant deb

build_package RPM "$build_dir"
mkdir "$inside/rpm-root"
(cd "$inside/rpm-root" && rpm2cpio "$work"/out/zorvant-*.rpm | cpio -id --quiet)
convert_inside /zorvant-test/rpm-root/usr/bin/zorvant rpm

build_package TGZ "$build_dir"
mkdir "$inside/tarball-root"
tar xzf "$work"/out/zorvant-*-linux-*.tar.gz -C "$inside/tarball-root" --strip-components=1
convert_inside /zorvant-test/tarball-root/bin/zorvant tarball
