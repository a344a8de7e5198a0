"""A Python acquisition client, with nothing but pyzmq, msgpack and numpy, driving the built
brennic over TCP, and h5py reading what it wrote.

    test_protocol.py PATH_TO_BRENNIC
"""
import os
import subprocess
import sys
import tempfile
import unittest

import h5py
import msgpack
import numpy
import zmq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, stop  # noqa: E402

BRENNIC = None


def enc(a):
    return msgpack.ExtType(1, msgpack.packb([a.dtype.str, list(a.shape)]) + a.tobytes())


def dec(code, data):
    u = msgpack.Unpacker()
    u.feed(data)
    typestr, shape = u.unpack()
    return numpy.frombuffer(data[u.tell():], typestr).reshape(shape)


class Protocol(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-interop-")
        self.port = free_port()
        config = os.path.join(self.dir.name, "zelt.ini")
        with open(config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {self.port}\n[vesk]\nbootstrap_servers =\n")
        self.err = open(os.path.join(self.dir.name, "brennic.err"), "w+")
        self.service = subprocess.Popen([BRENNIC], env=dict(os.environ, ZELT_CONFIG=config),
                                        stdout=subprocess.PIPE, stderr=self.err)
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.DEALER)
        self.socket.setsockopt(zmq.LINGER, 1000)
        self.socket.connect(f"tcp://127.0.0.1:{self.port}")

    def tearDown(self):
        self.socket.close()
        self.context.term()
        stop(self.service)
        self.service.stdout.close()
        self.err.close()
        self.dir.cleanup()

    def send(self, record):
        self.socket.send(msgpack.packb(record, default=enc))

    def reply(self, timeout_ms=10000):
        self.assertTrue(self.socket.poll(timeout_ms), "no reply")
        return self.socket.recv()

    def call(self, record):
        self.send(dict(record, block=True))
        return msgpack.unpackb(self.reply(), ext_hook=dec)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_acquisition_written_as_h5py_reads_it(self):
        master = self.path("master.h5")
        self.assertEqual(self.reply_bytes_of({"type": "open", "filepath": master}), b"\x81\xa3ret\xa2ok")
        self.send({"type": "create_dataset_map", "filepath": master,
                   "map": {"run": {"energy": 12.5, "sample": "Fe", "ok": True, "n": 3},
                           "mask": numpy.arange(6, dtype=">f4").reshape(2, 3)}})
        self.send({"type": "create_dataset_append", "filepath": master,
                   "dataset_info_list": [{"datasetname": "/entry/x"},
                                         {"datasetname": "/entry/batched", "batch": True}]})
        self.send({"type": "create_dataset_append_split", "filepath": master,
                   "datainfolist": [["/entry/data", 2]]})
        for i in range(5):
            self.send({"type": "dataset_append_split_map", "filepath": master,
                       "map": {"/entry/data": numpy.full((3, 4), i, dtype="<u2")},
                       "identify": "py", "CTType": 0})
            self.send({"type": "dataset_append_map", "filepath": master,
                       "map": {"/entry/x": i * 1.5,
                               "/entry/batched": numpy.ones((2, 2), dtype="|b1")}})
        self.assertEqual(self.call({"type": "close", "filepath": master}), {"ret": "ok"})
        with h5py.File(master, "r") as f:
            self.assertEqual(f["run/energy"][()], 12.5)
            self.assertEqual(f["run/sample"][()].decode(), "Fe")
            self.assertEqual(f["run/ok"][()], True)
            self.assertEqual(f["run/n"].dtype, numpy.int64)
            self.assertEqual(f["mask"].dtype, numpy.dtype(">f4"))
            numpy.testing.assert_array_equal(f["mask"][()], numpy.arange(6).reshape(2, 3))
            numpy.testing.assert_array_equal(f["/entry/x"][()], [0, 1.5, 3, 4.5, 6])
            self.assertEqual(f["/entry/batched"].shape, (10, 2))
            self.assertEqual(f["/entry/batched"].dtype, numpy.bool_)
            self.assertEqual(sorted(f["/entry/data"].keys()), ["data_0000", "data_0001", "data_0002"])
            link = f["/entry/data"].get("data_0001", getlink=True)
            self.assertEqual((link.filename, link.path), ("0001.h5", "/entry/data/data"))
            numpy.testing.assert_array_equal(f["/entry/data/data_0002"][()], numpy.full((1, 3, 4), 4))

    def reply_bytes_of(self, record):
        self.send(dict(record, block=True))
        return self.reply()

    def test_garbage_is_answered_and_the_service_serves_on(self):
        for payload in [b"\xc1", b"\x92\x01", msgpack.packb({"type": "open", "data": b"bin"}),
                        msgpack.packb({1: 2})]:
            self.socket.send(payload)
            answer = msgpack.unpackb(self.reply())
            self.assertEqual(answer["ret"], "error")
            self.assertIsInstance(answer["error"], str)
        answer = self.call({"type": "open", "filepath": self.path("no/such/dir.h5")})
        self.assertEqual(answer["ret"], "error")
        self.assertIn("no/such/dir.h5", answer["error"])
        self.assertEqual(self.call({"type": "open", "filepath": self.path("m.h5")}), {"ret": "ok"})


if __name__ == "__main__":
    BRENNIC = sys.argv.pop(1)
    result = unittest.main(exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    print(f"{result.testsRun - failed} passed, {failed} failed")
    sys.exit(1 if failed or not result.testsRun else 0)
