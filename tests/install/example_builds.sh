#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as a site would: builds the example
# acquisition program against it (find_package and pkg-config), starts the installed service,
# asks it for its status with the installed brennic-send, runs the installed example and the
# installed Python package against it, and checks the libraries' names and search paths.
set -euo pipefail
build=$1
example=$2
scratch=$(mktemp -d)
service_pid=
cleanup() {
    if [[ -n $service_pid ]]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libbrennic_hdf5.so' | head -1)")

# Versioned names, and search paths relative to the program, not the build tree.
readelf -d "$libdir/libbrennic_hdf5.so" | grep -q 'SONAME.*libbrennic_hdf5.so.0'
readelf -d "$prefix/bin/brennic" | grep -q 'RUNPATH.*\$ORIGIN/\.\./'
! readelf -d "$prefix/bin/brennic" | grep -q "$build"
test -f "$prefix/etc/zelt/zelt.ini" && test -f "$prefix/lib/systemd/system/brennic.service"

cmake -S "$example" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -o "$scratch/acquire-pc" "$example/acquire.cpp" $(pkg-config --cflags --libs brennic-hdf5) \
    -Wl,-rpath,"$libdir"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$scratch/data/a" "$scratch/data/b" "$scratch/data/c"  # a directory per scan
cat >"$scratch/zelt.ini" <<INI
[corvane]
ip = 127.0.0.1
port = $port   # a free port
data_roots = $scratch/data
[vesk]
bootstrap_servers =
INI
export ZELT_CONFIG=$scratch/zelt.ini
"$prefix/bin/brennic" 2>"$scratch/brennic.err" &
service_pid=$!
"$prefix/bin/brennic-send" --status >/dev/null
"$scratch/example/acquire" "$scratch/data/a/a.h5" 5 16 16 2 >/dev/null
"$scratch/acquire-pc" "$scratch/data/b/b.h5" 5 16 16 2 >/dev/null
PYTHONPATH=$(dirname "$(find "$prefix" -type d -name brennic -path '*dist-packages*')") \
    /usr/bin/python3 -c "
import numpy
from brennic import hdf5
with hdf5.open('$scratch/data/c/c.h5') as f:
    f.create_dataset_append_split([('/entry/data', 2)])
    f.dataset_append_split_map({'/entry/data': numpy.zeros((4, 4), '<u2')})
"
# Outside the data roots: refused, by name.
if "$prefix/bin/brennic-send" "{\"type\": \"open\", \"filepath\": \"$scratch/elsewhere.h5\", \"block\": true}" >"$scratch/refused" 2>&1; then
    echo "an open outside the data roots was accepted"; exit 1
fi
grep -q 'outside the data roots' "$scratch/refused"
/usr/bin/python3 -c "
import h5py
for name in 'abc':
    with h5py.File('$scratch/data/%s/%s.h5' % (name, name), 'r') as f:
        assert f['entry/data/data_0000'].shape[0] >= 1, name
"
echo "1 passed, 0 failed"
