#!/usr/bin/env bash
# Builds one libFuzzer target with clang (address and undefined-behaviour sanitizers) and runs
# it for a bounded time on a copy of its seed corpus. Skips, saying so, where clang or
# libFuzzer is missing.
#   run_fuzzer.sh decoder|request SOURCE_DIR BUILD_DIR SECONDS
set -euo pipefail
target=$1 source=$2 build=$3 seconds=$4
if ! command -v clang++ >/dev/null; then
    echo "SKIPPED: clang++ is not installed (Debian: clang, libclang-rt-14-dev)"
    exit 0
fi
work=$build/fuzz
mkdir -p "$work"
probe=$work/probe.cpp
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe"
if ! clang++ -fsanitize=fuzzer "$probe" -o "$work/probe" 2>/dev/null; then
    echo "SKIPPED: clang++ has no libFuzzer here (Debian: libclang-rt-14-dev)"
    exit 0
fi
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -DMSGPACK_NO_BOOST -I"$source/zelt/include" -I"$source/backend/scrivell/include"
       -I"$source/backend/scrivell/src")
zelt=("$source"/zelt/src/{Value,codec,storageParser,Fd}.cpp)
case $target in
    decoder)
        sources=("$source/tests/fuzz/decoder_fuzzer.cpp" "${zelt[@]}")
        libs=()
        ;;
    request)
        sources=("$source/tests/fuzz/request_fuzzer.cpp" "${zelt[@]}"
                 "$source"/backend/scrivell/src/*.cpp "$source"/backend/scrivell/src/h5/*.cpp
                 "$source"/backend/scrivell/src/vesk/*.cpp)
        read -ra libs <<<"$(pkg-config --cflags --libs hdf5-serial rdkafka++ spdlog zlib blosc liblz4) -ldl -pthread"
        ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
esac
binary=$work/${target}_fuzzer
echo "building $binary"
clang++ "${flags[@]}" "${sources[@]}" "${libs[@]}" -o "$binary"
corpus=$work/${target}_corpus
rm -rf "$corpus"
cp -r "$source/tests/fuzz/corpus/$target" "$corpus"
# HDF5 keeps library-wide state that LeakSanitizer counts at exit: leaks are not the question
# of this run, crashes and undefined behaviour are.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
BRENNIC_FUZZ_DIR=$(mktemp -d /tmp/brennic-fuzz-XXXXXX)
export BRENNIC_FUZZ_DIR
trap 'rm -rf "$BRENNIC_FUZZ_DIR"' EXIT
log=$work/${target}.log
if ! "$binary" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$work/${target}-" -print_final_stats=1 >"$log" 2>&1; then
    # The finding: the sanitizer's report and the input that caused it.
    sed -n '/^==[0-9]*==ERROR/,$p' "$log" | head -n 80
    grep -E 'runtime error|Test unit written' "$log" || tail -n 40 "$log"
    exit 1
fi
tail -n 6 "$log"
echo "fuzzed $target for $seconds s without a finding"
