#!/usr/bin/env bash
# Builds the RPM package from a build tree, checks what it holds and needs, unpacks it into a
# temporary root and converts a sample with the unpacked program.
#
#   rpm_package_test.sh BUILD_DIR VERSION LINKAGE
#
# LINKAGE is "portable" for the statically linked program, which must start on any Linux, or
# "native" for one linked against the build machine's libraries.
#
# Exits 77 (skipped) when the RPM tools are missing.
set -euo pipefail
export LC_ALL=C

build_dir="$1"
version="$2"
linkage="$3"

source "$(dirname "$0")/package_test_lib.sh"
require "cmake, rpm, rpm2cpio, cpio" cpack rpmbuild rpm rpm2cpio cpio

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

build_package RPM "$build_dir"
program_architecture
package="$work/out/zorvant-$version-1.$rpm_arch.rpm"
[ -f "$package" ] || fail "expected $(basename "$package"), found: $(ls "$work/out")"

[ "$(rpm -qp --queryformat '%{VERSION}' "$package")" = "$version" ] || fail "version"
[ -n "$(rpm -qp --queryformat '%{SUMMARY}' "$package")" ] || fail "no summary"
rpm -qpl "$package" | grep -qx /usr/share/man/man1/zorvant.1 || fail "no man page in the package"
# Found by rpmbuild in the program: for the portable one, nothing beyond what every rpm and
# every dynamic loader provide, so that Red Hat 8 takes it; else the C and C++ run-time libraries.
requirements="$(rpm -qpR "$package")"
if [ "$linkage" = portable ]; then
  others="$(grep -Ev '^(rtld\(GNU_HASH\)|rpmlib\()' <<<"$requirements" || true)"
else
  [[ "$requirements" == *libstdc++.so.6* ]] || fail "requirements not computed: $requirements"
  others="$(grep -Ev '^(libc\.so|libm\.so|libgcc_s\.so|libstdc\+\+\.so|ld-linux|rtld\(|rpmlib\()' \
    <<<"$requirements" || true)"
fi
[ -z "$others" ] || fail "requires more than it may: $others"

root="$work/root"
mkdir "$root"
(cd "$root" && rpm2cpio "$package" | cpio -id --quiet)
check_unpacked "$root"
