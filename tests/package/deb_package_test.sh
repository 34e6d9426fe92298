#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a temporary root and converts a
# sample with the unpacked program: what an operator installs must be whole and must work.
#
#   deb_package_test.sh BUILD_DIR SOURCE_DIR VERSION
#
# Exits 77 (skipped) when the Debian tools are missing.
set -euo pipefail
export LC_ALL=C

build_dir="$1"
source_dir="$2"
version="$3"

for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (packages: cmake, dpkg, dpkg-dev, file)"
    exit 77
  fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# --- The package -------------------------------------------------------------------------

if ! cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB"
fi
shopt -s nullglob
packages=("$work"/out/*.deb)
[ ${#packages[@]} -eq 1 ] || fail "expected one .deb, found: ${packages[*]:-none}"
package="${packages[0]}"
architecture="$(dpkg --print-architecture)"
[ "$(basename "$package")" = "zorvant_${version}_${architecture}.deb" ] ||
  fail "package file name $(basename "$package")"

field() { dpkg-deb -f "$package" "$1"; }
[ "$(field Package)" = zorvant ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
# Computed from the program's shared libraries, not written by hand.
[[ "$(field Depends)" == *libc6* ]] || fail "Depends: '$(field Depends)' lacks libc6"

root="$work/root"
dpkg-deb -x "$package" "$root"
program="$root/usr/bin/zorvant"
[ -x "$program" ] || fail "usr/bin/zorvant missing or not executable"
cmp -s "$root/usr/share/man/man1/zorvant.1" "$source_dir/doc/zorvant.1" ||
  fail "usr/share/man/man1/zorvant.1 missing or not the project's man page"

# --- A conversion with the unpacked program ------------------------------------------------

# A run of one character: repeat CHARACTER COUNT.
repeat() { printf "%*s" "$2" "" | tr ' ' "$1"; }

# A marked input: one line of three records, the first holding a double-byte character (which
# counts as one of its 256 characters), the second of type 2; then a line ending in a lone CR.
first="00011$(printf '\x82\xa0')$(repeat A 250)"
split="00022$(repeat B 251)"
last="00031$(repeat C 45)"
second_line="00041$(repeat D 251)"
folder="$work/data"
mkdir "$folder"
printf '%s%s%s\r\n%s\r' "$first" "$split" "$last" "$second_line" >"$folder/A0502.dat"
# The split output already holds records of an earlier input: they stay.
printf 'earlier record\r\n' >"$folder/A1101.dat.txt"

# Continuations are filled at 49 and 53 where both neighbours are not blank; the last record
# ends at 50, so it gets only the first fill.
printf '%s\r\n%s\r\n%s\r\n' "$first" "00031$(repeat C 43)-C" "$second_line" >"$work/expected_main"
printf 'earlier record\r\n%s\r\n' "00022$(repeat B 43)-BBB-$(repeat B 203)" >"$work/expected_split"

status=0
(cd "$folder" && "$program" A0502.dat) >"$work/stdout" 2>"$work/stderr" || status=$?
[ "$status" -eq 0 ] || fail "zorvant exited with $status: $(cat "$work/stderr")"
[ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] || fail "zorvant printed something"
[ ! -e "$folder/A0502.dat" ] || fail "the input was not deleted"
cmp "$work/expected_main" "$folder/A0502.dat.txt" || fail "main output differs"
cmp "$work/expected_split" "$folder/A1101.dat.txt" || fail "split output differs"
left="$(cd "$folder" && ls -A | tr '\n' ' ')"
[ "$left" = "A0502.dat.txt A1101.dat.txt " ] || fail "the folder holds: $left"

echo "package $(basename "$package") installs and converts"
