# What the package tests share; sourced, not run.

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# require PACKAGES TOOL...: ends the test as skipped (77) when a tool is missing.
require() {
  local packages="$1" tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "skipped: $tool is not installed (packages: $packages)"
      exit 77
    fi
  done
}

# build_package GENERATOR BUILD_DIR: cpack's package of the build tree, into $work/out.
build_package() {
  if ! cpack -G "$1" --config "$2/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack -G $1"
  fi
}

# check_unpacked ROOT: the program and the man page unpacked from a package into ROOT are whole
# and the project's own, and the program converts the sample.
check_unpacked() {
  local program="$1/usr/bin/zorvant"
  [ -x "$program" ] || fail "usr/bin/zorvant missing or not executable"
  cmp -s "$1/usr/share/man/man1/zorvant.1" "$build_dir/doc/zorvant.1" ||
    fail "usr/share/man/man1/zorvant.1 missing or not the project's man page"
  bash "$(dirname "${BASH_SOURCE[0]}")/convert_sample.sh" "$program" "$work/sample"
  echo "package $(basename "$package") installs and converts"
}
