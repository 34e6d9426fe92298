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

# program_architecture: sets rpm_arch and deb_arch to the processor that the build tree's program
# is for, in RPM's and Debian's words, and emulator to what runs it here: nothing for this
# machine's own processor, qemu-user for another's.
program_architecture() {
  case "$(readelf -h "$build_dir/zorvant" | sed -n 's/^ *Machine: *//p')" in
    *X86-64*) rpm_arch=x86_64 deb_arch=amd64 ;;
    AArch64) rpm_arch=aarch64 deb_arch=arm64 ;;
    *) fail "a program for a processor the packages are not made for: $build_dir/zorvant" ;;
  esac
  emulator=()
  [ "$rpm_arch" = "$(uname -m)" ] || emulator=("qemu-$rpm_arch")
}

# wrapper NAME COMMAND...: makes $work/NAME, a script that runs COMMAND with the arguments it is
# given after COMMAND's own, and gives its path.
wrapper() {
  local name="$1"
  shift
  {
    echo '#!/bin/bash'
    printf 'exec'
    printf ' %q' "$@"
    echo ' "$@"'
  } >"$work/$name"
  chmod +x "$work/$name"
  echo "$work/$name"
}

# runnable PROGRAM: PROGRAM, or where it needs the emulator, a script that runs it there.
runnable() {
  [ ${#emulator[@]} -gt 0 ] || { echo "$1"; return; }
  wrapper emulated "${emulator[@]}" "$1"
}

# check_unpacked ROOT: the program and the man page unpacked from a package into ROOT are whole
# and the project's own, and the program converts the sample.
check_unpacked() {
  local program="$1/usr/bin/zorvant"
  [ -x "$program" ] || fail "usr/bin/zorvant missing or not executable"
  cmp -s "$1/usr/share/man/man1/zorvant.1" "$build_dir/doc/zorvant.1" ||
    fail "usr/share/man/man1/zorvant.1 missing or not the project's man page"
  bash "$(dirname "${BASH_SOURCE[0]}")/convert_sample.sh" "$(runnable "$program")" "$work/sample"
  [ "$linkage" != portable ] || check_portable "$program"
  echo "package $(basename "$package") installs and converts"
}

# check_symbol_versions PROGRAM: PROGRAM asks for no C library newer than 2.28 (Red Hat 8) and
# for no C++ library at all, whose versions differ between every two releases of a distribution.
check_symbol_versions() {
  local needed versions newest
  needed="$(readelf -d "$1" | { grep -o 'Shared library: \[[^]]*' || true; } | cut -d[ -f2)"
  [[ "$needed" != *libstdc++* && "$needed" != *libgcc_s* ]] ||
    fail "$1 needs the build machine's C++ libraries:" $needed
  versions="$(readelf -W --dyn-syms "$1" |
    { grep -oE '\b(GLIBC|GLIBCXX|CXXABI)_[0-9][0-9.]*' || true; } | sort -u)"
  ! grep -qE '^(GLIBCXX|CXXABI)_' <<<"$versions" ||
    fail "$1 asks for C++ library versions:" $(grep -E '^(GLIBCXX|CXXABI)_' <<<"$versions")
  newest="$( (echo GLIBC_2.28; grep '^GLIBC_' <<<"$versions" || true) | sort -V | tail -1)"
  [ "$newest" = GLIBC_2.28 ] || fail "$1 asks for $newest, newer than Red Hat 8's GLIBC_2.28"
}

# check_portable PROGRAM: the program needs nothing of the machine it was built on. It passes the
# symbol check; it converts the sample in a root that holds nothing but itself, where this
# machine lets the test make one; and it converts the sample where the kernel lacks every system
# call that Linux gained after 3.10 and that the program or its C library make.
check_portable() {
  local program="$1" root="$work/bare-root" isolate=()
  check_symbol_versions "$program"
  if [ ${#emulator[@]} -gt 0 ]; then
    echo "not run: a root of the program alone, an older kernel (the program is emulated)"
    return
  fi

  unshare --root=/ true 2>/dev/null || isolate=(-r)
  if unshare "${isolate[@]}" --root=/ true 2>/dev/null; then
    mkdir -p "$root"
    cp "$program" "$root/zorvant"
    bash "$(dirname "${BASH_SOURCE[0]}")/convert_sample.sh" \
      "$(wrapper in-bare-root unshare "${isolate[@]}" --root="$root" --wd=/data /zorvant)" "$root"
  else
    echo "not run: a root of the program alone (needs root or user namespaces)"
  fi

  if command -v strace >/dev/null; then
    local calls=statx,renameat2,getrandom,clone3,rseq,copy_file_range,openat2,faccessat2,close_range
    bash "$(dirname "${BASH_SOURCE[0]}")/convert_sample.sh" \
      "$(wrapper on-older-kernel strace -f -qq -o /dev/null -e trace=$calls \
        -e inject=$calls:error=ENOSYS "$program")" "$work/older-kernel"
  else
    echo "not run: an older kernel's missing system calls (needs strace)"
  fi
}
