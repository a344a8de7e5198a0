#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: C++ units, the service driven over
# its sockets, and the Python interoperability clients. Then the sanitizer tier: the
# service-level suites again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BRENNIC_BUILD_DIR:-$here/build}
bash "$here/scripts/install-deps.sh"
BRENNIC_BUILD_DIR=$build bash "$here/scripts/build.sh" -DBRENNIC_FAIL_POINTS=ON
(cd "$build" && ctest --output-on-failure --timeout 600 -j 2)
BRENNIC_BUILD_DIR=$build bash "$here/scripts/sanitized.sh"
