"""The service killed with SIGKILL at random points of real scans, restarted with the same
journal directory, and every scan finished by its client: nothing the service had carried out
is lost, nothing is doubled, the master opens without h5clear, and the notifications come out
as promised.

    crash_test.py PATH_TO_BRENNIC PATH_TO_BRENNIC_LOCAL_KAFKA
"""
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import h5py
import msgpack
import hdf5plugin  # noqa: F401  (the filters of compressed blocks, for h5py)
import numpy
import zmq
import zmq.utils.monitor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, wait_until_up  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from brennic import ServiceError, hdf5  # noqa: E402

BRENNIC = LOCAL_KAFKA = None
FRAMES = 60
BLOCK = 7


def barrier(f, master):
    """A waiting request on the proxy's own connection: once it is answered, every request the
    proxy sent before it is carried out and journaled."""
    f._send({"type": "create_dataset_append_split", "filepath": master, "datainfolist": []},
            {"block": True})


class Crashes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-crash-")
        self.kafka_out = open(os.path.join(self.dir.name, "kafka.out"), "w+")
        bootstrap_file = os.path.join(self.dir.name, "bootstrap")
        self.kafka = subprocess.Popen([LOCAL_KAFKA, "--bootstrap-file", bootstrap_file],
                                      stdout=self.kafka_out, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(bootstrap_file) or not open(bootstrap_file).read().strip():
            self.assertLess(time.monotonic(), deadline, "no local Kafka")
            time.sleep(0.05)
        self.config = os.path.join(self.dir.name, "zelt.ini")
        with open(self.config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {free_port()}\n"
                    f"journal_dir = {self.dir.name}/journal\nreply_timeout_ms = 3000\n"
                    f"linger_ms = 0\n[vesk]\n"
                    f"bootstrap_servers = {open(bootstrap_file).read().strip()}\n"
                    "timeout_ms = 2000\n")
        os.environ["ZELT_CONFIG"] = self.config
        self.service = None
        self.log = open(os.path.join(self.dir.name, "brennic.err"), "a+")

    def tearDown(self):
        if os.environ.get("BRENNIC_KEEP_TEST_FILES"):
            self.log.seek(0)
            print(self.log.read()[-6000:])
        for process in (self.service, self.kafka):
            if process and process.poll() is None:
                process.kill()
                process.wait()
        self.kafka_out.close()
        self.log.close()
        self.dir.cleanup()

    def start(self):
        self.service = subprocess.Popen([BRENNIC, "--log-level", "INFO"],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        return wait_until_up(self.service, hdf5.status)

    def kill_later(self, seconds):
        def kill():
            time.sleep(seconds)
            self.service.send_signal(signal.SIGKILL)
            self.service.wait()
        thread = threading.Thread(target=kill)
        thread.start()
        return thread

    def held(self, status, master):
        """How many frames and values the service holds for the scan, from its status."""
        entry = status["files"].get(master)
        if entry is None:
            return None
        split = entry["split"].get("/entry/data")
        frames = split["splitFileIndex"] * BLOCK + split["rows"] if split else 0
        return frames, entry["appendable"].get("x", 0)

    def call(self, f, method, *args, **kwargs):
        """Sends one request waiting for its reply: True for "ok", False when the service is
        gone; an error reply fails the test."""
        f.reply_timeout_ms = 200
        try:
            method(*args, block=True, **kwargs)
            return True
        except ServiceError as error:
            if "did not answer" not in str(error):
                raise RuntimeError(f"error reply: {error}") from error
        deadline = time.monotonic() + 30
        while not f.worker.poll(200):
            # A slow reply on a loaded machine is not a crash: wait while the service lives.
            if self.service.poll() is not None or time.monotonic() > deadline:
                return False
        reply = msgpack.unpackb(f.worker.recv(), raw=False)
        if reply.get("ret") != "ok":
            raise RuntimeError(f"error reply {reply!r}")
        return True

    def scan(self, master, rng, kills, compression=None):
        """Drives one scan to its end through `kills` SIGKILLs at random instants."""
        if self.service is None or self.service.poll() is not None:
            self.start()
        f = hdf5.open(master)
        f.create_dataset_map({"entry": {"title": os.path.basename(master)}})
        f.create_dataset_append([{"datasetname": "x"}])
        options = [{"compression": compression}] if compression else []
        f.create_dataset_append_split([["/entry/data", BLOCK, *options]])
        # The open and the registrations are carried out and journaled before any kill lands.
        f.reply_timeout_ms = 30000  # no kill is due yet
        barrier(f, master)
        sent = 0
        while True:
            killer = self.kill_later(rng.uniform(0.0, 0.12)) if kills else None
            while sent < FRAMES:
                frame = numpy.full((4, 4), sent, dtype="<u2")
                if not (self.call(f, f.dataset_append_split_map, {"/entry/data": frame},
                                  identify=f"s{sent}")
                        and self.call(f, f.dataset_append_map, {"x": sent})):
                    break
                sent += 1
            if killer:
                killer.join()
                kills -= 1
            if self.service.poll() is None:
                break
            f.release()
            status = self.start()
            # The client resumes where the service's own account says it stands.
            held = self.held(status, master)
            self.assertIsNotNone(held, f"{master} was not restored")
            frames, values = held
            self.assertIn(frames, (sent, sent + 1), "frames lost or gained over the crash")
            self.assertIn(values, (frames - 1, frames))
            f = hdf5.open(master)  # "file already opened": the file is open again
            if values < frames:
                self.assertTrue(self.call(f, f.dataset_append_map, {"x": values}))
            sent = frames
        f.close(block=True, identify="end")
        f.release()
        return sent

    def check(self, master):
        with h5py.File(master, "r") as h:  # without h5clear
            numpy.testing.assert_array_equal(h["x"][()], numpy.arange(FRAMES))
            links = sorted(h["entry/data"])
            self.assertEqual(len(links), (FRAMES + BLOCK - 1) // BLOCK)
            frames = numpy.concatenate([h["entry/data"][name][()] for name in links])
            numpy.testing.assert_array_equal(frames[:, 0, 0], numpy.arange(FRAMES))
        directory = os.path.dirname(master)
        self.assertEqual([n for n in os.listdir(directory) if n.startswith(".")], [])
        deadline = time.monotonic() + 60  # a loaded machine delivers late, not never
        while True:
            self.kafka_out.seek(0)
            messages = [json.loads(line) for line in self.kafka_out if line.startswith("{")]
            stops = [m for m in messages if m["tag"] == "scan_stop" and m["filepath"] == master]
            runs = [m["filepath"] for m in messages
                    if m["tag"] == "scan_run" and os.path.dirname(m["filepath"]) == directory]
            blocks = (FRAMES + BLOCK - 1) // BLOCK
            if len(stops) >= 1 and len(set(runs)) == blocks or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(len(stops), 1)
        self.assertEqual(len(set(runs)), blocks)
        for name in set(runs):
            self.assertLessEqual(runs.count(name), 2, name)

    def test_killed_at_random_points_a_scan_loses_nothing(self):
        rng = random.Random(int(os.environ.get("BRENNIC_CRASH_SEED", "7")))
        for n in range(4):
            directory = os.path.join(self.dir.name, f"scan{n}")
            os.mkdir(directory)
            master = os.path.join(directory, "master.h5")
            self.assertEqual(self.scan(master, rng, kills=4), FRAMES)
            self.check(master)
        self.service.terminate()
        self.assertEqual(self.service.wait(timeout=30), 0)
        self.assertEqual(sorted(os.listdir(os.path.join(self.dir.name, "journal")))[0], "lock")

    def test_killed_at_random_points_a_compressed_scan_loses_nothing(self):
        rng = random.Random(int(os.environ.get("BRENNIC_CRASH_SEED", "11")))
        for codec in ("bslz4", "blosc-zstd"):
            directory = os.path.join(self.dir.name, codec)
            os.mkdir(directory)
            master = os.path.join(directory, "master.h5")
            self.assertEqual(self.scan(master, rng, kills=3, compression=codec), FRAMES)
            self.check(master)
            with h5py.File(os.path.join(directory, "0000.h5"), "r") as h:
                self.assertEqual(h["entry/data/data"].chunks, (1, 4, 4))

    def test_two_detectors_of_one_scan_are_restored_and_finished(self):
        """Frames of two shapes in blocks of two sizes, one detector compressed: killed once
        mid-block, restored, and finished by the same scan."""
        self.start()
        master = os.path.join(self.dir.name, "m.h5")
        detectors = {"/entry/data": (7, (4, 4), "<u2", None),
                     "/entry/pilatus": (5, (3,), "<f4", "bslz4")}
        f = hdf5.open(master)
        f.create_dataset_append_split(
            [[name, block] + ([{"compression": codec}] if codec else [])
             for name, (block, _, _, codec) in detectors.items()])

        def frames(first, last):
            for n in range(first, last):
                f.dataset_append_split_map({name: numpy.full(shape, n, dtype)
                                            for name, (_, shape, dtype, _) in detectors.items()})
            barrier(f, master)

        frames(0, 23)
        self.service.send_signal(signal.SIGKILL)
        self.service.wait()
        f.release()
        split = self.start()["files"][master]["split"]
        for name, (block, _, _, _) in detectors.items():
            self.assertEqual(split[name]["splitFileIndex"] * block + split[name]["rows"], 23, name)
        f = hdf5.open(master)
        frames(23, 40)
        f.close(block=True)
        f.release()
        with h5py.File(master, "r") as h:
            for name, (block, shape, dtype, codec) in detectors.items():
                links = sorted(h[name])
                self.assertEqual(len(links), (40 + block - 1) // block, name)
                data = numpy.concatenate([h[name][link][()] for link in links])
                self.assertEqual(data.shape[1:], shape)
                numpy.testing.assert_array_equal(data.reshape(40, -1)[:, 0], numpy.arange(40))
        names = sorted(n for n in os.listdir(self.dir.name) if n.endswith(".h5"))
        self.assertEqual(names, sorted(["m.h5"] + [f"{n:04d}.h5" for n in range(6)] +
                                       [f"pilatus_{n:04d}.h5" for n in range(8)]))
        self.log.seek(0)
        ratios = re.findall(r"pilatus_0004.h5.*compression ratio ([\d.]+)", self.log.read())
        self.assertEqual(len(ratios), 1)
        self.assertGreater(float(ratios[0]), 0)

    def test_a_torn_journal_restores_what_is_whole_and_a_second_service_is_refused(self):
        self.start()
        master = os.path.join(self.dir.name, "m.h5")
        f = hdf5.open(master)
        f.create_dataset_append([{"datasetname": "x"}])
        for value in range(5):
            f.dataset_append_map({"x": value})
        barrier(f, master)  # all five are carried out and journaled
        other = os.path.join(self.dir.name, "other.ini")
        with open(self.config) as mine, open(other, "w") as theirs:
            theirs.write(mine.read().replace("[corvane]\n", f"[corvane]\nport = {free_port()}\n", 1)
                         .replace("port = ", "# port = ", 2).replace("# port = ", "port = ", 1))
        second = subprocess.run([BRENNIC], capture_output=True, text=True, timeout=30,
                                env=dict(os.environ, ZELT_CONFIG=other))
        self.assertEqual(second.returncode, 1)
        self.assertIn("is in use by another brennic", second.stderr)
        self.service.send_signal(signal.SIGKILL)
        self.service.wait()
        f.release()
        journal = os.path.join(self.dir.name, "journal")
        name = next(n for n in os.listdir(journal) if n.startswith("file-"))
        with open(os.path.join(journal, name), "ab") as torn:
            torn.write(b"\x40\x00\x00\x00\x12\x34")  # half of a record: a write cut short
        status = self.start()
        self.assertEqual(status["files"][master]["appendable"]["x"], 5)
        hdf5.open(master).close(block=True)
        with h5py.File(master, "r") as h:
            numpy.testing.assert_array_equal(h["x"][()], numpy.arange(5))


    def test_failures_no_close_was_told_of_are_told_after_a_restart(self):
        self.start()
        master = os.path.join(self.dir.name, "m.h5")
        f = hdf5.open(master)
        f.create_dataset_append([{"datasetname": "x"}])
        f.dataset_append_map({"y": 1})  # fails, and nobody waits to hear it
        f.dataset_append_map({"x": 1})
        barrier(f, master)
        self.service.send_signal(signal.SIGKILL)
        self.service.wait()
        f.release()
        self.start()
        with self.assertRaises(ServiceError) as raised:
            hdf5.open(master).close(block=True)
        self.assertIn('1 earlier request for this file failed: dataset_append_map', str(raised.exception))
        self.assertIn('"y" is not registered', str(raised.exception))
        with h5py.File(master, "r") as h:
            numpy.testing.assert_array_equal(h["x"][()], [1])
        self.service.terminate()
        self.assertEqual(self.service.wait(timeout=30), 0)


    def test_requests_lost_on_the_way_are_named_by_the_waiting_close(self):
        with open(self.config) as config:
            text = config.read()
        with open(self.config, "w") as config:
            # Frames through the socket only: ZeroMQ drops one larger than the limit.
            config.write(text.replace("[vesk]",
                                      "max_message_bytes = 100000\nlocal_socket = off\n[vesk]"))
        self.start()
        master = os.path.join(self.dir.name, "m.h5")
        f = hdf5.open(master)
        f.create_dataset_append([{"datasetname": "x"}])
        for value in range(10):
            f.dataset_append_map({"x": value})
        barrier(f, master)  # requests 1 to 13 are carried out and journaled
        # Sent while the service is stopped, then killed: whatever was in its socket is lost,
        # whatever the client still held goes out after the restart.
        os.kill(self.service.pid, signal.SIGSTOP)
        for value in range(10, 20):
            f.dataset_append_map({"x": value})
        self.service.send_signal(signal.SIGKILL)
        self.service.wait()
        self.start()
        # One more dropped by ZeroMQ for its size (the client was told a larger limit). The
        # service drops the connection with it: the close waits until the client is back.
        monitor = f.worker.get_monitor_socket(zmq.EVENT_DISCONNECTED | zmq.EVENT_CONNECTED)
        f._config.max_message_bytes = 1 << 30
        f.dataset_append_map({"x": numpy.zeros(200000, "u1")})
        for wanted in (zmq.EVENT_DISCONNECTED, zmq.EVENT_CONNECTED):
            while True:
                self.assertTrue(monitor.poll(10000), "the connection was not dropped and made again")
                if zmq.utils.monitor.recv_monitor_message(monitor)["event"] == wanted:
                    break
        f.worker.disable_monitor()
        monitor.close()
        missing = 0
        text = ""
        try:
            f.close(block=True)
        except ServiceError as error:
            text = str(error)
            ranges = re.search(r"requests? ([\d, -]+) never reached the service", text)
            for first, last in re.findall(r"(\d+)(?:-(\d+))?", ranges.group(1)):
                missing += int(last or first) - int(first) + 1
            self.assertIn("never reached the service", text)
        f.release()
        with h5py.File(master, "r") as h:
            held = list(h["x"][()]) if "x" in h else []
        # Every request is either in the file or named as missing, none twice: the ten sent
        # before the kill, and the one too large.
        self.assertEqual(held, list(range(len(held))))
        self.assertEqual(len(held) - 10 + missing, 11, f"{held} {missing} {text!r}")
        self.service.terminate()
        self.assertEqual(self.service.wait(timeout=30), 0)


class OutageThenCrash(unittest.TestCase):
    """Notifications owed while no broker answered survive a SIGKILL and go out, in order, once
    a broker answers after the restart."""

    def test_owed_notifications_survive_a_crash(self):
        with tempfile.TemporaryDirectory(prefix="brennic-owed-") as directory:
            config = os.path.join(directory, "zelt.ini")
            port = free_port()

            def configure(brokers):
                with open(config, "w") as f:
                    f.write(f"[corvane]\nip = 127.0.0.1\nport = {port}\n"
                            f"journal_dir = {directory}/journal\nreply_timeout_ms = 5000\n"
                            f"linger_ms = 0\n[vesk]\nbootstrap_servers = {brokers}\n"
                            "timeout_ms = 500\n")
            configure(f"127.0.0.1:{free_port()}")  # nothing listens there
            os.environ["ZELT_CONFIG"] = config
            log = open(os.path.join(directory, "brennic.err"), "w")
            service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=log)
            kafka = None
            try:
                master = os.path.join(directory, "m.h5")
                f = hdf5.open(master)
                f.create_dataset_append_split([["/entry/data", 1]])
                for value in range(3):
                    f.dataset_append_split_map({"/entry/data": value})
                deadline = time.monotonic() + 10  # the appends travel on another connection
                while hdf5.status()["notifications_pending"] < 3:
                    self.assertLess(time.monotonic(), deadline)
                service.send_signal(signal.SIGKILL)
                service.wait()
                f.release()
                out = open(os.path.join(directory, "kafka.out"), "w+")
                boot = os.path.join(directory, "bootstrap")
                kafka = subprocess.Popen([LOCAL_KAFKA, "--bootstrap-file", boot], stdout=out,
                                         stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 10
                while not (os.path.exists(boot) and open(boot).read().strip()):
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.05)
                configure(open(boot).read().strip())
                service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=log)
                # The appends were done (their blocks written and linked) although their
                # notifications were owed: the close after the restart has nothing to report.
                hdf5.open(master).close(block=True)
                deadline = time.monotonic() + 15
                while True:
                    out.seek(0)
                    tags = [json.loads(line) for line in out if line.startswith("{")]
                    if len(tags) >= 4 or time.monotonic() > deadline:
                        break
                    time.sleep(0.1)
                self.assertEqual([(m["tag"], os.path.basename(m["filepath"])) for m in tags],
                                 [("scan_run", "0000.h5"), ("scan_run", "0001.h5"),
                                  ("scan_run", "0002.h5"), ("scan_stop", "m.h5")])
            finally:
                for process in (service, kafka):
                    if process and process.poll() is None:
                        process.kill()
                        process.wait()
                log.close()


if __name__ == "__main__":
    BRENNIC, LOCAL_KAFKA = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
