#!/usr/bin/env bash
# The sanitizer tier: builds the service, its backend's and service's tests and the programs
# the interoperability tests drive with AddressSanitizer and UndefinedBehaviorSanitizer, into
# build-sanitize/ (or $BRENNIC_SANITIZE_DIR), and runs the service-level suites there: a
# memory fault or undefined behaviour in new code fails the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BRENNIC_BUILD_DIR:-$here/build}
sanitized=${BRENNIC_SANITIZE_DIR:-$build-sanitize}
cmake -S "$here" -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENNIC_SANITIZE=ON \
    -DBRENNIC_FAIL_POINTS=ON >/dev/null
cmake --build "$sanitized" -j "$(nproc)" --target brennic scrivell_tests brennic_tests hdf5_tests acquire brennic-send \
    brennic-local-kafka client_md_program
cd "$sanitized"
# HDF5 and librdkafka keep library-wide state that LeakSanitizer would count at exit: leaks are
# not this tier's question, memory errors and undefined behaviour are.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export BRENNIC_SANITIZED=1  # tests that measure memory skip it here
ctest --output-on-failure --timeout 900 -j 2 \
    -R '^(Service|FullDisk|Acquisition|Compressed|CompressionPool|EmptyFrames|Bslz4Chunk|Restore|Streaming|Progress|Descriptors)\.|^interop\.'
