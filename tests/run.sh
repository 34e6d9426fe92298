#!/usr/bin/env bash
# The whole test suite on a Debian or Ubuntu machine: installs what it needs when it is
# missing, then configures, builds and runs it (cmake --workflow --preset test).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh test
exec cmake --workflow --preset test
