#!/usr/bin/env bash
# The tools people use, end to end: brennic-local-kafka starts a cluster and prints what
# arrives; brennic-send drives a real brennic that notifies it.
#   tools_test.sh BRENNIC BRENNIC_SEND BRENNIC_LOCAL_KAFKA
set -euo pipefail
brennic=$1 send=$2 kafka=$3
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        ((SECONDS < deadline)) || { echo "timed out: $*" >&2; exit 1; }
        sleep 0.1
    done
}
passed=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAILED: $1" >&2; exit 1; fi
}

"$kafka" --bootstrap-file "$work/bootstrap" >"$work/kafka.out" 2>"$work/kafka.err" &
pids+=($!)
wait_for 10 test -s "$work/bootstrap"
check "the tool prints its bootstrap list" grep -q "^bootstrap 127.0.0.1:[0-9]*,127.0.0.1:[0-9]*,127.0.0.1:[0-9]*$" "$work/kafka.out"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[corvane]\nip = 127.0.0.1\nport = %s\n[vesk]\nbootstrap_servers = %s\n' "$port" "$(cat "$work/bootstrap")" >"$work/zelt.ini"
export ZELT_CONFIG=$work/zelt.ini
"$brennic" >"$work/brennic.out" 2>"$work/brennic.err" &
pids+=($!)

reply=$("$send" --timeout-ms 10000 "{\"type\": \"open\", \"filepath\": \"$work/m.h5\", \"block\": true}")
check "an ok reply is printed" test "$reply" = '{"ret": "ok"}'
check "a non-blocking request prints nothing" test -z "$("$send" "{\"type\": \"create_dataset_map\", \"filepath\": \"$work/m.h5\", \"map\": {\"a\": 1.5}}")"
set +e
error=$("$send" '{"type": "nothing", "block": true}')
status=$?
set -e
check "an error reply exits 1" test "$status" = 1
check "an error reply is printed" grep -q '"ret": "error"' <<<"$error"
"$send" "{\"type\": \"close\", \"filepath\": \"$work/m.h5\", \"identify\": \"tool\", \"block\": true}" >/dev/null
wait_for 10 grep -q scan_stop "$work/kafka.out"
check "the stop notification arrives whole" grep -qF "{\"tag\": \"scan_stop\", \"identify\": \"tool\", \"image_key\": null, \"filepath\": \"$work/m.h5\", \"datasetpath\": \"/entry/data\", \"beamtimeID\": \"\", \"index\": null}" "$work/kafka.out"
check "the map value is in the file" h5dump -d /a "$work/m.h5" >/dev/null
echo "$passed passed, 0 failed"
