#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
exec build/default/tools/neravox/neravox demo "$@"
