#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: installs what is missing, builds, starts a local
# Kafka and the brennic service (with a journal, as the sample configuration has), runs an
# example acquisition through the client library (250 detector-like frames of 512 x 512,
# blocks of 100, compressed with bitshuffle-LZ4), shows the files, their compression and the
# notifications that came out, reads a frame back through h5py and hdf5plugin, and stops
# everything it started.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BRENNIC_BUILD_DIR:-$here/build}
echo "== installing what is missing (Debian packages)"
bash "$here/scripts/install-deps.sh"
mkdir -p "$build"
echo "== building into $build (a first build takes a few minutes; full log: $build/build.log)"
# One line per finished target, so that a long first build shows its progress.
BRENNIC_BUILD_DIR=$build bash "$here/scripts/build.sh" 2>&1 | tee "$build/build.log" |
    grep --line-buffered -E '^\[ *[0-9]+%\] Built target' || true
test "${PIPESTATUS[0]}" -eq 0 || { echo "the build failed: see $build/build.log" >&2; exit 1; }

work=$build/demo
rm -rf "$work"
mkdir -p "$work/scan" "$work/journal"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        if ((SECONDS >= deadline)); then echo "timed out waiting for: $*" >&2; return 1; fi
        sleep 0.1
    done
}

echo "== local Kafka (three mock brokers, topic Calyxo1)"
"$build/tools/brennic-local-kafka" --bootstrap-file "$work/bootstrap" >"$work/kafka.out" 2>"$work/kafka.err" &
pids+=($!)
wait_for 10 test -s "$work/bootstrap"
bootstrap=$(cat "$work/bootstrap")
echo "bootstrap servers: $bootstrap"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/zelt.ini" <<INI
[corvane]
ip = 127.0.0.1
port = $port
journal_dir = $work/journal

[vesk]
bootstrap_servers = $bootstrap
timeout_ms = 5000
INI
export ZELT_CONFIG=$work/zelt.ini

echo "== brennic on tcp://127.0.0.1:$port"
"$build/brennic/brennic" --log-level INFO >"$work/brennic.out" 2>"$work/brennic.err" &
brennic_pid=$!
pids+=("$brennic_pid")

echo "== acquisition, with a live reader following it in another process"
PYTHONPATH=$here/python /usr/bin/python3 "$here/docs/example/follow_scan.py" "$work/scan/master.h5" \
    >"$work/follow.out" 2>"$work/follow.err" &
follower=$!
pids+=("$follower")
"$build/docs/example/acquire" "$work/scan/master.h5" 250 512 512 100 bslz4
wait "$follower" || { echo "the live reader failed: see $work/follow.err" >&2; exit 1; }
cat "$work/follow.out"

echo "== master file"
h5ls -r "$work/scan/master.h5"
echo "== sub-files"
for f in "$work"/scan/0*.h5; do
    printf '%s  %s\n' "$(basename "$f")" "$(h5ls "$f/entry/data/data" | sed 's/^data *//')"
done
echo "== compression of each sub-file (raw bytes over stored bytes)"
/usr/bin/python3 - "$work/scan" <<'PY'
import glob, os, sys
import h5py, hdf5plugin  # noqa: F401  (hdf5plugin: the filters, for h5py)
for path in sorted(glob.glob(os.path.join(sys.argv[1], "0*.h5"))):
    with h5py.File(path, "r") as f:
        data = f["entry/data/data"]
        print(f"{os.path.basename(path)}  {data.shape[0]} frames, filter {list(data._filters)}, "
              f"ratio {data.nbytes / data.id.get_storage_size():.2f}")
with h5py.File(os.path.join(sys.argv[1], "master.h5"), "r") as f:
    frame = f["entry/data/data_0001"][7]
    print(f"frame 107 read back through hdf5plugin: shape {frame.shape}, index stamp {frame[0, 0]},"
          f" mean count {frame.mean():.3f}")
PY
echo "== per-frame values (first five energies)"
h5dump -d /entry/instrument/energy -c 5 "$work/scan/master.h5" | sed -n '/DATA {/,/}/p'
echo "== notifications received on Calyxo1"
wait_for 10 bash -c "[ \$(grep -c scan_stop '$work/kafka.out') -ge 1 ]"
grep '"tag"' "$work/kafka.out"

echo "== service output"
kill -TERM "$brennic_pid"
wait "$brennic_pid" && echo "brennic stopped cleanly"
cat "$work/brennic.out" "$work/brennic.err"
