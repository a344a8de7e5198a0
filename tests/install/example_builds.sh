#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds the example acquisition program
# against it twice: with find_package(brennic) and with pkg-config.
set -euo pipefail
build=$1
example=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$example" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
test -x "$scratch/example/acquire"
PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib/x86_64-linux-gnu/pkgconfig" \
    c++ -o "$scratch/acquire-pc" "$example/acquire.cpp" $(PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib/x86_64-linux-gnu/pkgconfig" pkg-config --cflags --libs brennic-hdf5)
test -x "$scratch/acquire-pc"
echo "1 passed, 0 failed"
