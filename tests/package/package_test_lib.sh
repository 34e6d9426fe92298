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
