"""A careless client against the real service: random and broken requests for a bounded time.
Every blocking request must get one well-formed reply, the service must stay up, and its
memory must stay bounded.

    fuzz_protocol.py PATH_TO_BRENNIC [SECONDS]
"""
import os
import random
import subprocess
import struct
import sys
import tempfile
import time

import msgpack
import numpy
import zmq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port  # noqa: E402

TYPES = ["open", "create_dataset_map", "create_dataset_map_new", "create_dataset_append",
         "dataset_append_map", "create_dataset_append_split", "dataset_append_split_map",
         "close", "closeAll", "status", "nonsense", 7, None]
MAX_RSS_MIB = 600


def array(rng):
    dtype = rng.choice(["<u2", ">u2", "<f4", "<f8", "|u1", "<i8", "|b1"])
    shape = [rng.randint(0, 4) for _ in range(rng.randint(0, 3))]
    a = numpy.zeros(shape, dtype=dtype)
    payload = msgpack.packb([a.dtype.str, list(a.shape)]) + a.tobytes()
    if rng.random() < 0.1:  # a header that lies about its data
        payload = payload[:-1] if len(payload) > 4 else payload + b"\0"
    return msgpack.ExtType(1, payload)


def nested_ext_headers(layers):
    """ext type 1 whose header is the next ext, `layers` deep: the depth must count through."""
    return b"".join(b"\xc9" + struct.pack(">I", 1 + 6 * (layers - 1 - i)) + b"\x01"
                    for i in range(layers)) + b"\xc0"


def value(rng, depth=0):
    kind = rng.randint(0, 9 if depth < 3 else 6)
    if kind == 0:
        return rng.randint(-2**63, 2**64 - 1)
    if kind == 1:
        return rng.choice([0.5, float("nan"), float("inf"), -0.0, 1e300, 3.0])
    if kind == 2:
        return rng.choice(["", "Fe", "12", "/entry/data", "ü\u20ac", "a\0b"])
    if kind == 3:
        return rng.choice([True, False, None])
    if kind in (4, 5, 6):
        return array(rng)
    if kind == 7:
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    return {rng.choice(["/entry/data", "x", "fp", "a/b", "datasetname", "batch"]):
            value(rng, depth + 1) for _ in range(rng.randint(0, 3))}


def request(rng, directory):
    record = {"type": rng.choice(TYPES)}
    if rng.random() < 0.9:
        record["filepath"] = os.path.join(directory, rng.choice(["a.h5", "b.h5", "0001.h5",
                                                                 "missing/c.h5"]))
    kind = record["type"]
    if kind in ("create_dataset_map", "create_dataset_map_new", "dataset_append_map",
                "dataset_append_split_map"):
        record["map"] = value(rng) if rng.random() < 0.2 else {
            rng.choice(["/entry/data", "x", "y", "fp"]): value(rng) for _ in range(2)}
    elif kind == "create_dataset_append":
        record["dataset_info_list"] = [{"datasetname": rng.choice(["x", "y", "fp"]),
                                        "batch": rng.choice([True, False])}]
    elif kind == "create_dataset_append_split":
        record["datainfolist"] = [[rng.choice(["/entry/data", "x"]),
                                   rng.choice([1, 2, 3, 0, -1, 2.0, 2.5, "3", None])]]
    if rng.random() < 0.3:
        record["identify"] = value(rng)
    record["block"] = True
    return msgpack.packb(record, use_bin_type=True)


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def check_reply(frames, sent):
    assert len(frames) == 1, f"reply of {len(frames)} frames to {sent[:200]!r}"
    reply = msgpack.unpackb(frames[0], raw=False)
    assert isinstance(reply, dict), f"reply {reply!r}"
    if reply.get("ret") == "ok":
        return
    assert reply.get("ret") == "error", f"reply {reply!r}"
    error = reply.get("error")
    assert isinstance(error, str) and error and "\n" not in error, f"reply {reply!r}"


def main():
    brennic = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    rng = random.Random(int(os.environ.get("BRENNIC_FUZZ_SEED", "12")))
    with tempfile.TemporaryDirectory(prefix="brennic-fuzz-") as directory:
        port = free_port()
        config = os.path.join(directory, "zelt.ini")
        with open(config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {port}\n[vesk]\nbootstrap_servers =\n")
        with open(os.path.join(directory, "brennic.err"), "w") as err:
            service = subprocess.Popen([brennic], env=dict(os.environ, ZELT_CONFIG=config),
                                       stdout=subprocess.DEVNULL, stderr=err)
        context = zmq.Context()
        client = context.socket(zmq.DEALER)
        client.setsockopt(zmq.LINGER, 0)
        client.connect(f"tcp://127.0.0.1:{port}")
        sent = 0
        try:
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                expect_reply = True
                if rng.random() < 0.005:
                    # A request whose only value is ext headers nested far past the limit.
                    payload = (b"\x83" + msgpack.packb("type") + msgpack.packb("dataset_append_map")
                               + msgpack.packb("block") + b"\xc3" + msgpack.packb("map")
                               + nested_ext_headers(rng.choice([70, 20000])))
                elif rng.random() < 0.05:
                    payload = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40)))
                    try:
                        # A map that decodes asks for no reply unless it says "block".
                        decoded = msgpack.unpackb(payload, raw=False, strict_map_key=False)
                        expect_reply = not isinstance(decoded, dict) or decoded.get("block") is True
                    except Exception:
                        pass
                else:
                    payload = request(rng, directory)
                client.send(payload)
                sent += 1
                if client.poll(10000 if expect_reply else 200):
                    check_reply(client.recv_multipart(), payload)
                elif expect_reply:
                    raise AssertionError(f"no reply within 10 s to {payload[:200]!r} ({len(payload)} bytes)")
                assert service.poll() is None, f"the service ended with {service.returncode}"
                if sent % 200 == 0:
                    assert rss_mib(service.pid) < MAX_RSS_MIB, f"{rss_mib(service.pid)} MiB"
            service.terminate()
            status = service.wait(timeout=30)
            assert status == 0, f"the service exited with {status} after a stop signal"
            print(f"{sent} requests, every reply well-formed; the service stopped with 0")
        finally:
            client.close()
            context.term()
            if service.poll() is None:
                service.kill()
                service.wait()


if __name__ == "__main__":
    main()
