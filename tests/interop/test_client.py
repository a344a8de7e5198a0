"""The Python client package against the built service: a whole acquisition read back with
h5py, NumPy values of every layout, errors and time-outs.

    test_client.py PATH_TO_BRENNIC
"""
import os
import subprocess
import sys
import tempfile
import time
import unittest

import h5py
import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, stop, wait_until_up  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from brennic import ServiceError, hdf5, read_config  # noqa: E402

BRENNIC = None


class Client(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-python-")
        self.config = os.path.join(self.dir.name, "zelt.ini")
        with open(self.config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1   # loopback\nport = {free_port()}\n"
                    "reply_timeout_ms = 10000\nlinger_ms = 200\n[vesk]\nbootstrap_servers =\n")
        os.environ["ZELT_CONFIG"] = self.config
        self.err = open(os.path.join(self.dir.name, "brennic.err"), "w+")
        self.service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=self.err)
        wait_until_up(self.service, hdf5.status)

    def tearDown(self):
        stop(self.service)
        self.err.close()
        self.dir.cleanup()

    def path(self, name="m.h5"):
        return os.path.join(self.dir.name, name)

    def test_a_whole_acquisition_reads_back(self):
        frames = numpy.arange(5 * 4 * 3, dtype=">u2").reshape(5, 4, 3)  # big-endian
        with hdf5.open(self.path()) as f:
            f.create_dataset_map({"entry": {"title": "scan 1", "energy": numpy.float32(12.5),
                                            "count": numpy.int64(3), "flag": numpy.bool_(True)}})
            f.create_dataset_append([{"datasetname": "/entry/t"}, {"datasetname": "/entry/i"}])
            f.create_dataset_append_split([("/entry/data", 2)])
            for k in range(5):
                frame = frames[k]
                if k == 1:
                    frame = numpy.asfortranarray(frame)  # another memory layout
                if k == 2:
                    frame = frames[:, :, :].transpose(0, 2, 1)[k].T  # a strided view
                f.dataset_append_split_map({"/entry/data": frame}, identify="scan-1", CTType=0)
                f.dataset_append_map({"/entry/t": numpy.float32(0.5 * k), "/entry/i": k})
            status = hdf5.status()
            self.assertEqual(status["ret"], "ok")
        self.assertEqual(hdf5.status()["files"], {})
        with h5py.File(self.path(), "r") as f:
            self.assertEqual(f["entry/title"][()].decode(), "scan 1")
            self.assertEqual(f["entry/energy"][()], 12.5)
            self.assertEqual(f["entry/count"][()], 3)
            numpy.testing.assert_array_equal(f["entry/t"][()], [0.0, 0.5, 1.0, 1.5, 2.0])
            self.assertEqual(f["entry/t"].dtype, numpy.float64)
            numpy.testing.assert_array_equal(f["entry/i"][()], numpy.arange(5))
            numpy.testing.assert_array_equal(f["entry/data/data_0000"][()], frames[0:2])
            numpy.testing.assert_array_equal(f["entry/data/data_0001"][()], frames[2:4])
            numpy.testing.assert_array_equal(f["entry/data/data_0002"][()], frames[4:5])
            self.assertEqual(f["entry/data/data_0000"].dtype, numpy.dtype(">u2"))

    def test_with_nobody_at_the_address_calls_fail_fast_naming_it(self):
        stop(self.service)
        started = time.monotonic()
        with self.assertRaises(ServiceError) as raised:
            hdf5.status()  # sooner than its reply_timeout_ms of 10 s
        self.assertIn("nobody answers at tcp://127.0.0.1:", str(raised.exception))
        self.assertIn("start it with `brennic`", str(raised.exception))
        with self.assertRaises(ServiceError) as raised:
            hdf5.open(self.path())
        self.assertIn('open "', str(raised.exception))
        self.assertIn("nobody answers at", str(raised.exception))
        f = hdf5.open(self.path(), block=False)
        with self.assertRaises(ServiceError) as raised:
            f.close(block=True)
        self.assertIn('close "', str(raised.exception))
        self.assertIn("nobody answers at", str(raised.exception))
        f.release()
        # A program that only sends one-way: its send fails once the queue to nobody is full.
        f = hdf5.open(self.path(), block=False)
        with self.assertRaises(ServiceError) as raised:
            for _ in range(1000000):
                f.dataset_append_split_map({"/entry/data": numpy.ones((64, 64), "<u2")})
        self.assertIn("nobody answers at tcp://127.0.0.1:", str(raised.exception))
        self.assertIn("was not sent", str(raised.exception))
        f.release()
        self.assertLess(time.monotonic() - started, 60)

    def test_errors_and_time_outs_raise_service_error(self):
        # A waiting open (the default) fails at its own line, naming "open" once.
        missing = self.path("missing/m.h5")
        with self.assertRaises(ServiceError) as raised:
            hdf5.open(missing)
        self.assertTrue(str(raised.exception).startswith(f'open "{missing}": its directory'),
                        str(raised.exception))
        # One that does not wait is told at the waiting close.
        f = hdf5.open(missing, block=False)
        f.create_dataset_map({"a": 1})
        with self.assertRaises(ServiceError) as raised:
            f.close(block=True)
        self.assertIn("2 earlier requests for this file failed", str(raised.exception))
        # The failed open is named once.
        self.assertIn(f'the first: open "{missing}": its directory', str(raised.exception))
        self.assertNotIn(f'open "{missing}": open', str(raised.exception))
        with self.assertRaises(TypeError):
            f.dataset_append_map({"x": numpy.zeros(2, dtype=numpy.complex64)})
        self.service.kill()
        self.service.wait()
        f.reply_timeout_ms = 300
        with self.assertRaises(ServiceError) as raised:
            f.close(block=True)
        self.assertIn("did not answer within 300 ms", str(raised.exception))
        f.release()

    def test_a_waiting_append_takes_its_own_reply_and_no_later_call_takes_it(self):
        with hdf5.open(self.path()) as f:
            f.create_dataset_append([{"datasetname": "x"}])
            # A value nested deeper than the service decodes is refused before it leaves; a
            # message the service cannot read is answered without a number, and the next
            # waiting call skips that answer for its own.
            deep = 1
            for _ in range(70):
                deep = [deep]
            with self.assertRaises(ServiceError) as raised:
                f.dataset_append_map({"x": deep})
            self.assertIn("nested deeper than 64 levels", str(raised.exception))
            f.worker.send(b"\xc1")
            f.dataset_append_map({"x": 0}, block=True)
            with self.assertRaises(ServiceError) as raised:
                f.dataset_append_map({"y": 1}, block=True)
            self.assertIn('"y" is not registered', str(raised.exception))
            f.dataset_append_map({"x": 1}, block=True)
            with self.assertRaises(TypeError):
                f.dataset_append_map({"x": 2}, True)  # nothing is dropped silently
        # The close above got its own "ok": the file is closed and whole.
        with h5py.File(self.path(), "r") as h:
            numpy.testing.assert_array_equal(h["x"][()], [0, 1])

    def test_zero_dimensional_arrays_keep_their_shape(self):
        with hdf5.open(self.path()) as f:
            f.create_dataset_map({"scalar": numpy.array(2.5)})
            f.create_dataset_append([{"datasetname": "t"}])
            for k in range(3):
                f.dataset_append_map({"t": numpy.array(k, dtype="<i4")})
        with h5py.File(self.path(), "r") as h:
            self.assertEqual(h["scalar"].shape, ())
            self.assertEqual(h["t"].shape, (3,))
            numpy.testing.assert_array_equal(h["t"][()], [0, 1, 2])

    def test_a_request_above_max_message_bytes_is_refused_before_it_is_sent(self):
        with open(self.config, "a") as config:
            config.write("[corvane2]\n")  # the service read its configuration already
        f = hdf5.open(self.path())
        f._config.max_message_bytes = 1000
        with self.assertRaises(ServiceError) as raised:
            f.create_dataset_map({"big": numpy.zeros(1000)})
        self.assertIn("more than max_message_bytes (1000)", str(raised.exception))
        f.create_dataset_map({"small": 1})
        f.close(block=True)
        with h5py.File(self.path(), "r") as h:
            self.assertNotIn("big", h)
            self.assertEqual(h["small"][()], 1)

    def test_files_hold_their_descriptors_within_max_open_files(self):
        import resource
        stop(self.service)
        with open(self.config) as config:
            text = config.read()
        with open(self.config, "w") as config:
            config.write(text.replace("[vesk]", f"journal_dir = {self.path('journal')}\n[vesk]"))
        limit = 600
        self.service = subprocess.Popen(
            [BRENNIC], stdout=subprocess.DEVNULL, stderr=self.err,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
        wait_until_up(self.service, hdf5.status)
        # Each file holds its master, its directory, its journal and a block being filled; an
        # open keeps room for a compressed block (two), and 256 stay for sockets.
        files = []
        for n in range(limit):
            os.makedirs(self.path(f"d{n}"))
            try:
                f = hdf5.open(self.path(f"d{n}/m.h5"))
            except ServiceError as error:
                self.assertIn("file descriptors", str(error))
                break
            files.append(f)
            f.create_dataset_append_split([("/entry/data", 4)])
            f.dataset_append_split_map({"/entry/data": numpy.zeros(4, "<u2")}, block=True)
        self.assertEqual(len(files), (limit - 256 - 5) // 4 + 1)
        self.assertEqual(len(hdf5.status()["files"]), len(files))  # new clients are heard
        for f in files:
            f.close(block=True)
            f.release()
        self.assertEqual(self.service.poll(), None)

    @unittest.skipIf(os.environ.get("BRENNIC_SANITIZED"),
                     "memory figures mean nothing under AddressSanitizer")
    def test_an_appended_array_keeps_only_its_own_bytes(self):
        def rss_mib():
            with open(f"/proc/{self.service.pid}/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024
            return 0

        with hdf5.open(self.path()) as f:
            f.create_dataset_append([{"datasetname": "x"}])
            for k in range(15):
                # One byte of array in a message of 20 MiB: the rest is an ignored key.
                f.dataset_append_map({"x": numpy.full(1, k, "u1")}, pad="p" * (20 << 20),
                                     block=True)
            self.assertLess(rss_mib(), 150)
        with h5py.File(self.path(), "r") as h:
            numpy.testing.assert_array_equal(h["x"][()][:, 0], numpy.arange(15))

    def test_compressed_scans_read_back_through_hdf5plugin(self):
        import bitshuffle
        import hdf5plugin  # noqa: F401  (registers the filters with h5py)

        rng = numpy.random.default_rng(5)
        frames = rng.poisson(1.5, (5, 96, 64)).astype("<u2")
        for k in range(5):
            frames[k, 0, 0] = k
        codecs = {"bslz4": 32008, "blosc-lz4": 32001, "blosc-zstd": 32001}
        for codec, filter_id in codecs.items():
            with hdf5.open(self.path(f"{codec}.h5")) as f:
                f.create_dataset_append_split([("/entry/data", 2, {"compression": codec})])
                for frame in frames:
                    f.dataset_append_split_map({"/entry/data": frame})
            with h5py.File(self.path(f"{codec}.h5"), "r") as h:
                for block, rows in enumerate([frames[0:2], frames[2:4], frames[4:5]]):
                    data = h[f"entry/data/data_{block:04d}"]
                    numpy.testing.assert_array_equal(data[()], rows, err_msg=codec)
                    self.assertIn(str(filter_id), data._filters)
                    self.assertEqual(data.chunks, (1, 96, 64))
            os.remove(self.path(f"{codec}.h5"))
            for block in range(3):
                os.remove(self.path(f"{block:04d}.h5"))

        # Frames compressed by the detector's stream pass through as they came.
        def detector_chunk(frame):
            block = 2048
            blocks = bitshuffle.compress_lz4(frame, block).tobytes()
            return (frame.nbytes.to_bytes(8, "big") + (block * frame.itemsize).to_bytes(4, "big")
                    + blocks)

        from brennic import Compressed
        with hdf5.open(self.path()) as f:
            f.create_dataset_append_split([("/entry/data", 3, {"compression": "bslz4"})])
            for k, frame in enumerate(frames):
                if k == 2:
                    f.dataset_append_split_map({"/entry/data": frame})  # raw, among them
                else:
                    f.dataset_append_split_map(
                        {"/entry/data": Compressed(detector_chunk(frame), "<u2", frame.shape)})
            broken = bytearray(detector_chunk(frames[0]))
            broken[12] = 0x7F  # a block length past the end
            f.dataset_append_split_map({"/entry/data": Compressed(broken, "<u2", (96, 64))})
            with self.assertRaises(ServiceError) as raised:
                f.close(block=True)
            self.assertIn("no bslz4 chunk", str(raised.exception))
        with h5py.File(self.path(), "r") as h:
            numpy.testing.assert_array_equal(h["entry/data/data_0000"][()], frames[0:3])
            numpy.testing.assert_array_equal(h["entry/data/data_0001"][()], frames[3:5])

    def test_configuration_is_read_as_the_service_reads_it(self):
        config = read_config()
        self.assertEqual(config.ip, "127.0.0.1")
        self.assertEqual(config.reply_timeout_ms, 10000)
        self.assertEqual(config.source, self.config)


if __name__ == "__main__":
    BRENNIC = sys.argv.pop(1)
    unittest.main()
