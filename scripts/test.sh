#!/usr/bin/env bash
# Builds and runs the test suite.
#   scripts/test.sh            default preset
#   scripts/test.sh asan|tsan  a sanitizer preset
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true

scripts/setup.sh
jobs=$(nproc)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs" "$@"
