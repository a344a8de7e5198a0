#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demonstration need, if any is
# missing. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libhdf5-dev hdf5-tools zlib1g-dev
    libzmq3-dev cppzmq-dev
    librdkafka-dev
    libmsgpack-cxx-dev libboost-dev
    nlohmann-json3-dev libcli11-dev libspdlog-dev
    libgtest-dev
    clang libclang-rt-14-dev
    libsystemd-dev systemd libmicrohttpd-dev prometheus
    libblosc-dev liblz4-dev bitshuffle hdf5-filter-plugin hdf5-filter-plugin-blosc-serial
    python3 python3-zmq python3-msgpack python3-numpy python3-h5py python3-hdf5plugin
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
