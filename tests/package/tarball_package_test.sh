#!/usr/bin/env bash
# Builds the tarball from a build tree, checks that it holds one folder named after it with the
# program, the man page, the README and the licence, and converts a sample with the unpacked
# program, which must need nothing of this machine.
#
#   tarball_package_test.sh BUILD_DIR VERSION
set -euo pipefail
export LC_ALL=C

build_dir="$1"
version="$2"
linkage=portable

source "$(dirname "$0")/package_test_lib.sh"
require "cmake, tar" cpack tar

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

build_package TGZ "$build_dir"
program_architecture
name="zorvant-$version-linux-$rpm_arch"
package="$work/out/$name.tar.gz"
[ -f "$package" ] || fail "expected $name.tar.gz, found: $(ls "$work/out")"

expected="$name/bin/zorvant
$name/share/doc/zorvant/LICENSE
$name/share/doc/zorvant/README.md
$name/share/man/man1/zorvant.1"
listed="$(tar tzf "$package" | grep -v '/$' | sort)"
[ "$listed" = "$expected" ] || fail "the tarball holds: $listed"

tar xzf "$package" -C "$work"
# Laid out as an installation prefix, so that it unpacks into /usr/local as the packages do.
mkdir -p "$work/root/usr"
cp -r "$work/$name/." "$work/root/usr/"
check_unpacked "$work/root"
