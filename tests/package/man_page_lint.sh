#!/usr/bin/env bash
# The man page must render without a single warning, with every checker that is installed, and
# name the version it documents.
#
#   man_page_lint.sh MAN_PAGE VERSION
#
# Exits 77 (skipped) when no checker is installed.
set -uo pipefail
export LC_ALL=C

page="$1"
version="$2"
checked=0
failed=0

if ! grep -q "^\.TH ZORVANT 1 [0-9-]* \"zorvant $version\"" "$page"; then
  echo "the title line does not name version $version: $(grep '^\.TH' "$page")" >&2
  failed=1
fi

# groff exits 0 even after warnings: anything it says is a failure.
if command -v groff >/dev/null; then
  checked=1
  messages="$(groff -ww -z -man "$page" 2>&1)"
  if [ -n "$messages" ]; then
    echo "groff -ww -z -man:" >&2
    echo "$messages" >&2
    failed=1
  fi
fi

if command -v mandoc >/dev/null; then
  checked=1
  if ! mandoc -T lint "$page" >&2; then
    echo "mandoc -T lint reported the messages above" >&2
    failed=1
  fi
fi

if [ "$checked" -eq 0 ]; then
  echo "skipped: neither groff nor mandoc is installed (packages: groff-base or mandoc)"
  exit 77
fi
exit "$failed"
