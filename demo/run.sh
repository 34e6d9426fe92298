#!/usr/bin/env bash
# Builds zorvant and converts the sample A0502.dat in a temporary folder, then shows the outputs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
scripts/install-packages.sh build
cmake --preset program >/dev/null
cmake --build --preset program --target zorvant >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$here/A0502.dat" "$work/"

show() {  # a file as UTF-8 text, line ends marked
  iconv -f SHIFT_JIS -t UTF-8 "$1" | sed 's/\r$/<CR LF>/'
}
echo "== input $work/A0502.dat"
show "$work/A0502.dat"
"$here/../build-program/zorvant" "$work/A0502.dat"
echo "== zorvant exited with $?; the folder now holds:"
ls -1 "$work"
echo "== main output A0502.dat.txt"
show "$work/A0502.dat.txt"
echo "== split output A1101.dat.txt"
show "$work/A1101.dat.txt"
