"""A careless client against the real service: random and broken requests for a bounded time,
every request kind with every option (codecs, compression levels, frames compressed by their
sender, sound and forged, shared-slot references, shapes with zero or huge dimensions, wide
and deep maps, messages near max_message_bytes), half the time with verify_precompressed on
and half with it off. Every blocking request must get one well-formed reply, the service must
stay up, and its memory must stay bounded.

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
MAX_MESSAGE_BYTES = 1 << 20
CODECS = ["none", "bslz4", "blosc-lz4", "blosc-zstd", "gzip", "", 3]
# Split datasets whose names nest: each inside or around another's group, its block links or
# its stack.
SPLIT_NAMES = ["/entry/data", "x", "/e/det", "/e/det/data", "/e/d", "/e/d/data_0000", "/e",
               "/e/det/data/data_0001"]


def bslz4_chunk(rng, raw_bytes):
    """A chunk of HDF5's bitshuffle filter with LZ4 for ``raw_bytes``: sound (every element
    zero, one block), or forged: a header that lies, a block past the end, or an LZ4 sequence
    that claims far more literals than the chunk holds."""
    block = 8192
    header = struct.pack(">QI", raw_bytes, block)
    elements = raw_bytes // 2
    whole, rest = divmod(elements, block // 2)
    blocks = whole + (1 if rest // 8 * 8 else 0)
    tail = b"\0" * ((elements % 8) * 2)
    forge = rng.random()
    if forge < 0.2:
        return header + struct.pack(">I", 1 << 20) + b"\xf0" + b"\xff" * 64
    if forge < 0.3:
        return struct.pack(">QI", raw_bytes + 2, block) + tail
    body = b""
    for i in range(blocks):
        size = block if i < whole else rest // 8 * 8 * 2
        # LZ4 for `size` zero bytes: a literal zero, then a match of the rest at offset 1.
        match = size - 1 - 4
        literal = b"\x1f" + b"\0" if match >= 15 else None
        if literal is None or forge < 0.4:
            sequence = bytes([0xf0]) + b"\xff" * 8  # claims literals it lacks
        else:
            extra = match - 15 - 5  # the last 5 bytes must be literals
            length = b"\xff" * (extra // 255) + bytes([extra % 255])
            sequence = b"\x1f\0\x01\x00" + length + b"\x50" + b"\0" * 5
        body += struct.pack(">I", len(sequence)) + sequence
    return header + body + tail


def array(rng):
    dtype = rng.choice(["<u2", ">u2", "<f4", "<f8", "|u1", "<i8", "|b1"])
    shape = [rng.choice([0, 0, 1, 2, 3, 4, 64]) for _ in range(rng.randint(0, 3))]
    kind = rng.random()
    if kind < 0.05:
        # Dimensions whose product no message could hold.
        header = [dtype, [2**40, 2**40] if rng.random() < 0.5 else [2**63, 0, 2**63]]
        return msgpack.ExtType(1, msgpack.packb(header) + b"\0" * 8)
    if kind < 0.1:
        # A reference to a slot of a ring nobody attached.
        return msgpack.ExtType(2, msgpack.packb(["<u2", shape, "forged", rng.randint(0, 20),
                                                 int(numpy.prod(shape)) * 2]))
    if kind < 0.3:
        # A frame its sender compressed (ext type 3), sound or forged.
        raw_bytes = int(numpy.prod(shape, dtype=numpy.int64)) * 2
        codec = rng.choice(["bslz4", "bslz4", "bslz4", "lz4"])
        return msgpack.ExtType(3, msgpack.packb(["<u2", shape, codec])
                               + bslz4_chunk(rng, raw_bytes))
    a = numpy.zeros(shape, dtype=dtype)
    payload = msgpack.packb([a.dtype.str, list(a.shape)]) + a.tobytes()
    if rng.random() < 0.1:  # a header that lies about its data
        payload = payload[:-1] if len(payload) > 4 else payload + b"\0"
    return msgpack.ExtType(1, payload)


def deep(levels):
    value = 1
    for _ in range(levels):
        value = {"k": value}
    return value


def wide_or_deep_map(rng):
    """Maps near each bound: many keys, nesting near the decoder's limit, or long keys above
    many leaves, whose paths would outgrow the message."""
    kind = rng.randint(0, 2)
    if kind == 0:
        return {f"k{i}": i for i in range(rng.choice([1000, 20000]))}
    if kind == 1:
        return deep(rng.choice([60, 62, 63, 64]))
    value = {f"l{i}": i for i in range(2000)}
    for level in range(rng.choice([5, 20])):
        value = {chr(97 + level) * 2000: value}
    return value


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
        if rng.random() < 0.03:
            record["map"] = wide_or_deep_map(rng)
        else:
            names = ["/entry/data", "x", "y", "fp"]
            if kind == "dataset_append_split_map":
                names += SPLIT_NAMES  # frames of changing layout into nested datasets
            record["map"] = value(rng) if rng.random() < 0.2 else {
                rng.choice(names): value(rng) for _ in range(2)}
    elif kind == "create_dataset_append":
        record["dataset_info_list"] = [{"datasetname": rng.choice(["x", "y", "fp"]),
                                        "batch": rng.choice([True, False])}]
    elif kind == "create_dataset_append_split":
        item = [rng.choice(SPLIT_NAMES),
                rng.choice([1, 2, 3, 0, -1, 2.0, 2.5, "3", None, 2**62])]
        if rng.random() < 0.6:
            options = {"compression": rng.choice(CODECS)}
            if rng.random() < 0.5:
                options["vds"] = rng.choice([True, True, False, "yes"])
            if rng.random() < 0.3:
                options["compression_level"] = rng.choice([0, 5, 9, 10, -1, "5"])
            if rng.random() < 0.05:
                options["unknown"] = True
            item.append(options if rng.random() < 0.95 else [options])
        record["datainfolist"] = [item]
        if rng.random() < 0.3:  # several at once, nesting or not
            record["datainfolist"].append([rng.choice(SPLIT_NAMES), 2, {"vds": True}])
    if rng.random() < 0.3:
        record["identify"] = value(rng)
    if rng.random() < 0.3:
        record["seq"] = rng.choice([1, 2, 1000, 0, -1, "7", 2**63])
    record["block"] = True
    payload = msgpack.packb(record, use_bin_type=True)
    if rng.random() < 0.01:
        # Near max_message_bytes: just below, or just above (refused by the socket, unanswered).
        pad = MAX_MESSAGE_BYTES - len(payload) - 16 + rng.choice([0, 64])
        record["pad"] = b"\0" * max(0, pad)
        payload = msgpack.packb(record, use_bin_type=True)
    return payload


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


def run(brennic, seconds, rng, directory, verify):
    port = free_port()
    config = os.path.join(directory, "zelt.ini")
    with open(config, "w") as f:
        f.write(f"[corvane]\nip = 127.0.0.1\nport = {port}\nlocal_socket = off\n"
                f"max_message_bytes = {MAX_MESSAGE_BYTES}\nverify_precompressed = {verify}\n"
                "[vesk]\nbootstrap_servers =\n")
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
            # ZeroMQ drops a message above the bound unread, with its connection.
            expect_reply = expect_reply and len(payload) <= MAX_MESSAGE_BYTES
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
        status = service.wait(timeout=60)
        assert status == 0, f"the service exited with {status} after a stop signal"
        return sent
    finally:
        client.close()
        context.term()
        if service.poll() is None:
            service.kill()
            service.wait()


def main():
    brennic = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    rng = random.Random(int(os.environ.get("BRENNIC_FUZZ_SEED", "12")))
    sent = 0
    for verify in ("true", "false"):
        with tempfile.TemporaryDirectory(prefix="brennic-fuzz-") as directory:
            sent += run(brennic, seconds / 2, rng, directory, verify)
    print(f"{sent} requests, every reply well-formed; the service stopped with 0 each time")


if __name__ == "__main__":
    main()
