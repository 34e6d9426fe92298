#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a temporary root and converts a
# sample with the unpacked program: what an operator installs must be whole and must work.
#
#   deb_package_test.sh BUILD_DIR VERSION LINKAGE
#
# LINKAGE is "portable" for the statically linked program, which must start on any Linux, or
# "native" for one linked against the build machine's libraries.
#
# Exits 77 (skipped) when the Debian tools are missing.
set -euo pipefail
export LC_ALL=C

build_dir="$1"
version="$2"
linkage="$3"

source "$(dirname "$0")/package_test_lib.sh"
require "cmake, dpkg, dpkg-dev, file" cpack dpkg-deb dpkg-shlibdeps file

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# --- The package -------------------------------------------------------------------------

build_package DEB "$build_dir"
shopt -s nullglob
packages=("$work"/out/*.deb)
[ ${#packages[@]} -eq 1 ] || fail "expected one .deb, found: ${packages[*]:-none}"
package="${packages[0]}"
program_architecture
[ "$(basename "$package")" = "zorvant_${version}_${deb_arch}.deb" ] ||
  fail "package file name $(basename "$package")"

field() { dpkg-deb -f "$package" "$1"; }
[ "$(field Package)" = zorvant ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
# Computed from the program's shared libraries, not written by hand: none for the portable one.
if [ "$linkage" = portable ]; then
  [ -z "$(field Depends)" ] || fail "the portable program depends on: $(field Depends)"
else
  [[ "$(field Depends)" == *libc6* ]] || fail "Depends: '$(field Depends)' lacks libc6"
fi

root="$work/root"
dpkg-deb -x "$package" "$root"
check_unpacked "$root"
