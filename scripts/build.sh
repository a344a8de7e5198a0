#!/usr/bin/env bash
# Configures and builds into build/ (or $BRENNIC_BUILD_DIR); further arguments go to cmake's
# configuration.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BRENNIC_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
