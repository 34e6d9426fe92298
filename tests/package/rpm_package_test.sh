#!/usr/bin/env bash
# Builds the RPM package from a build tree, checks what it holds and needs, unpacks it into a
# temporary root and converts a sample with the unpacked program.
#
#   rpm_package_test.sh BUILD_DIR VERSION
#
# Exits 77 (skipped) when the RPM tools are missing.
set -euo pipefail
export LC_ALL=C

build_dir="$1"
version="$2"

source "$(dirname "$0")/package_test_lib.sh"
require "cmake, rpm, rpm2cpio, cpio" cpack rpmbuild rpm rpm2cpio cpio

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

build_package RPM "$build_dir"
package="$work/out/zorvant-$version-1.$(uname -m).rpm"
[ -f "$package" ] || fail "expected $(basename "$package"), found: $(ls "$work/out")"

[ "$(rpm -qp --queryformat '%{VERSION}' "$package")" = "$version" ] || fail "version"
[ -n "$(rpm -qp --queryformat '%{SUMMARY}' "$package")" ] || fail "no summary"
rpm -qpl "$package" | grep -qx /usr/share/man/man1/zorvant.1 || fail "no man page in the package"
# Found by rpmbuild in the program, and nothing beyond the C and C++ run-time libraries.
requirements="$(rpm -qpR "$package")"
[[ "$requirements" == *libstdc++.so.6* ]] || fail "requirements not computed: $requirements"
others="$(grep -Ev '^(libc\.so|libm\.so|libgcc_s\.so|libstdc\+\+\.so|ld-linux|rtld\(|rpmlib\()' \
  <<<"$requirements" || true)"
[ -z "$others" ] || fail "requires more than the run-time libraries: $others"

root="$work/root"
mkdir "$root"
(cd "$root" && rpm2cpio "$package" | cpio -id --quiet)
check_unpacked "$root"
