#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as a site would: builds the example
# acquisition program against it (find_package, and client.md's pkg-config line as written),
# checks the unit and the sample configuration made for that prefix, starts the installed
# service without a configuration and then with one, asks it for its status with the
# installed brennic-send, runs the installed example and the installed Python package against
# it, and checks the libraries' names and search paths.
set -euo pipefail
trap 'echo "failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1
example=$2
docs=$3
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
# The unit and the configuration are made for this prefix.
unit=$prefix/lib/systemd/system/brennic.service
grep -qx "ExecStart=$prefix/bin/brennic --log-level INFO" "$unit"
grep -qx "Environment=ZELT_CONFIG=$prefix/etc/zelt/zelt.ini" "$unit"
grep -q "^journal_dir = $prefix/var/lib/brennic" "$prefix/etc/zelt/zelt.ini"
grep -q "^local_socket = $prefix/run/brennic/brennic-5555.sock" "$prefix/etc/zelt/zelt.ini.sample"
test -d "$prefix/var/lib/brennic" && test -d "$prefix/run/brennic"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit"
fi
# Staged for a system prefix, as a package is built: /etc/zelt, no rpath, no doubled DESTDIR.
DESTDIR=$scratch/stage cmake --install "$build" --prefix /usr/local >/dev/null
test -f "$scratch/stage/etc/zelt/zelt.ini"
grep -qx "ExecStart=/usr/local/bin/brennic --log-level INFO" "$scratch/stage/usr/local/lib/systemd/system/brennic.service"
grep -qx "Environment=ZELT_CONFIG=/etc/zelt/zelt.ini" "$scratch/stage/usr/local/lib/systemd/system/brennic.service"
! grep -q rpath "$(find "$scratch/stage" -name brennic-hdf5.pc)"
grep -q rpath "$libdir/pkgconfig/brennic-hdf5.pc"

cmake -S "$example" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# client.md's line, as written, builds a program that starts.
line=$(grep -o 'c++ acquire.cpp $(pkg-config --cflags --libs brennic-hdf5)' "$docs/client.md")
mkdir "$scratch/pc" && cp "$example/acquire.cpp" "$scratch/pc/"
(cd "$scratch/pc" && eval "$line")
test -x "$scratch/pc/a.out"

# Without any configuration (on the built-in port, when it is free here): said once, no
# notifications, nothing after "stopped".
if [ ! -f /etc/zelt/zelt.ini ] && /usr/bin/python3 -c 'import socket; socket.socket().bind(("127.0.0.1", 5555))' 2>/dev/null; then
    env -u ZELT_CONFIG "$prefix/bin/brennic" --log-level INFO >/dev/null 2>"$scratch/bare.err" &
    service_pid=$!
    for _ in $(seq 300); do grep -q 'serving on' "$scratch/bare.err" && break; sleep 0.1; done
    sleep 1  # long enough for a Kafka client, were there one, to fail to resolve its brokers
    kill -TERM "$service_pid"
    wait "$service_pid"
    service_pid=
    test "$(grep -c 'no configuration' "$scratch/bare.err")" = 1
    ! grep -q 'vesk.invalid' "$scratch/bare.err"
    tail -1 "$scratch/bare.err" | grep -q ' stopped: '
fi

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
"$scratch/pc/a.out" "$scratch/data/b/b.h5" 5 16 16 2 >/dev/null
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
