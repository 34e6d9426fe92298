#!/usr/bin/env bash
# The code built for wide vectors must define nothing under a name the portable code also uses:
# where both define an inline function, the linker keeps one copy, and a processor without AVX2
# would then run the wide one and stop on an invalid instruction. No run on this machine can
# show that, so the objects are read instead.
#
#   tests/wide_vectors_symbols.sh OBJECT...
set -euo pipefail
# Code only (types T, W, i); data such as the sanitizers' type descriptions runs nothing.
strays="$(nm -C --defined-only --extern-only "$@" | awk 'NF >= 3 && $2 ~ /^[TWi]$/ { $1 = ""; $2 = ""; print }' |
  grep -v -E '^ +(job|textfile)::wide_vectors::' || true)"
if [ -n "$strays" ]; then
  echo "defined outside the wide_vectors namespaces:" >&2
  echo "$strays" >&2
  exit 1
fi
echo "$# objects: every name is their own"
