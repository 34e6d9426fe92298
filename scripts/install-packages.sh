#!/usr/bin/env bash
# Installs the Debian or Ubuntu packages that a task needs and the machine lacks: the one list
# of what zorvant's scripts rely on. Quiet when everything is there.
#
#   scripts/install-packages.sh TASK...
#
#   build      build the program (demo/run.sh)
#   test       build it and run the whole test suite (tests/run.sh)
#   sanitize   the test suite under the sanitizers, with clang and libFuzzer (.ci/run)
#   windows    cross-build the Windows program and test it under Wine (.ci/windows-setup)
#   filesystems  the reliability cases on other file systems (tests/reliability/file_systems.sh)
#   older-systems  the packages in an older distribution's root (tests/package/older_distribution_test.sh)
#   arm64      cross-build the arm64 program and its packages, and test them under qemu-user
#   vm         the shared-storage cases in virtual machines (tests/vm/run.sh)
#   bench      the whole-program benchmarks (bench/run.sh, bench/small_files.sh)
#
# Installs as root directly, else through sudo; apt-get update runs only when something is
# missing.
set -euo pipefail

packages_for() {
  case "$1" in
  build) echo cmake ninja-build g++ ;;
  # GoogleTest; strace, flock, pgrep and unshare for the reliability tests; the Debian and RPM
  # tools and groff for the package and man page tests; qemu to run the program on an older
  # processor.
  test) echo cmake ninja-build g++ libgtest-dev strace util-linux procps dpkg-dev file \
    groff-base rpm rpm2cpio cpio qemu-user ;;
  sanitize) echo clang libclang-rt-14-dev ;;
  # GoogleTest's sources, built for Windows; a virtual display for the message box.
  windows) echo cmake ninja-build g++-mingw-w64-x86-64-posix wine64 googletest xvfb xauth ;;
  # mkfs for the loop images, mount and losetup, and a FUSE passthrough.
  filesystems) echo e2fsprogs xfsprogs btrfs-progs mount bindfs fuse3 ;;
  # A Debian 11 root to start the packaged program in.
  older-systems) echo debootstrap debian-archive-keyring ;;
  # The cross compiler with the arm64 C and C++ libraries; GoogleTest's sources, built for arm64;
  # qemu to run its programs; the package tools.
  arm64) echo cmake ninja-build g++-aarch64-linux-gnu googletest qemu-user dpkg-dev file rpm \
    rpm2cpio cpio groff-base ;;
  # The virtual machines: qemu with its firmware, a Debian 12 root for their disk, and the
  # network namespace, bridge and taps that join them.
  vm) echo qemu-system-x86 qemu-utils debootstrap debian-archive-keyring e2fsprogs iproute2 \
    util-linux ;;
  # GNU time for the peak memory, a CPU hog to run beside the program, and the loop images'
  # file systems.
  bench) echo cmake ninja-build g++ time stress-ng e2fsprogs xfsprogs mount ;;
  *)
    echo "install-packages: no task '$1' (build, test, sanitize, windows, filesystems," \
      "older-systems, arm64, vm, bench)" >&2
    exit 2
    ;;
  esac
}

missing=()
for task in "$@"; do
  packages=$(packages_for "$task") || exit 2
  for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$' ||
      missing+=("$package")
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "needs root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
