#!/usr/bin/env bash
# What zorvant.exe tells Windows about itself, read back from the built file: the version of
# project() in CMakeLists.txt and the names that Explorer shows under Properties, and the
# manifest Windows starts it with. Usage: resources.sh ZORVANT_EXE WINDRES VERSION
set -uo pipefail
exe=$1
windres=$2
version=$3
resources=$("$windres" --input-format=coff --output-format=rc "$exe") || exit 1
# The manifest Windows reads when it starts a program is its resource number 1 of that type.
manifest=$(sed -n '/^1 24 \/\* RT_MANIFEST \*\/$/,/^END$/p' <<<"$resources")
failed=0
has() {  # DESCRIPTION TEXT [IN]: TEXT is in the resources, or in IN
  grep -q -F -- "$2" <<<"${3-$resources}" || { echo "FAIL: $1" >&2; failed=1; }
}

has "file version" "VALUE \"FileVersion\", \"$version\""
has "product version" "VALUE \"ProductVersion\", \"$version\""
has "version numbers" "FILEVERSION ${version//./, }, 0"
has "product name" 'VALUE "ProductName", "zorvant"'
has "company" 'VALUE "CompanyName", "zorvant"'
has "description" 'VALUE "FileDescription", "z'
has "manifest: long paths" \
  '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>' \
  "$manifest"
has "manifest: no elevation" '<requestedExecutionLevel level=""asInvoker""' "$manifest"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  has "manifest: Windows $os" "<supportedOS Id=\"\"{$os}\"\"/>" "$manifest"
done
[ "$failed" -eq 0 ]
