#!/usr/bin/env bash
# The program on a processor without AVX2 and BMI2: qemu's model of an Intel Nehalem (2008). The
# build of the per-record work for every processor must be the one chosen and agree with the
# model, and nothing the program runs may need the wider instructions: any that slipped in stops
# it with an invalid instruction. On a processor that has them (qemu's Haswell, 2013) the wide
# build comes first: a program that ran the portable build everywhere would only be slower.
#
#   tests/older_processor.sh ZORVANT RECORD_ROUTER_RANDOM
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/package/package_test_lib.sh"
require qemu-user qemu-x86_64

zorvant="$1"
random="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

report="$(qemu-x86_64 -cpu Nehalem "$random" 3000)"
[ "$report" = "3000 inputs agree with the model in the builds: portable" ] ||
  fail "record logic on Nehalem: $report"
report="$(qemu-x86_64 -cpu Haswell "$random" 300 2>/dev/null)"
[ "$report" = "300 inputs agree with the model in the builds: wide_vectors portable" ] ||
  fail "record logic on Haswell: $report"

printf '#!/bin/sh\nexec qemu-x86_64 -cpu Nehalem "%s" "$@"\n' "$zorvant" >"$work/zorvant"
chmod +x "$work/zorvant"
bash "$here/package/convert_sample.sh" "$work/zorvant" "$work/sample"
echo "the portable build converts on a Nehalem"
