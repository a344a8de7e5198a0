"""The same-host path: frames through rings of shared memory, from C++ and Python, against
the real service; fallback to TCP; forged references; slots that run out; a client or the
service killed mid-scan; two clients with rings of their own.

    local_test.py PATH_TO_BRENNIC PATH_TO_ACQUIRE_EXAMPLE
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import h5py
import hdf5plugin  # noqa: F401  (the filters of compressed blocks, for h5py)
import msgpack
import numpy
import zmq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, wait_until_up  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from brennic import ServiceError, hdf5  # noqa: E402
from brennic.client import _LocalRing  # noqa: E402

BRENNIC = ACQUIRE = None


def frames(n, side=256, dtype="<u2"):
    return numpy.arange(n * side * side, dtype=numpy.int64).astype(dtype).reshape(n, side, side)


def read_frames(master):
    with h5py.File(master, "r") as h:
        return numpy.concatenate([h["entry/data"][k][()] for k in sorted(h["entry/data"])])


class Local(unittest.TestCase):
    def setUp(self, extra=""):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-local-")
        self.socket_path = os.path.join(self.dir.name, "local.sock")
        self.configure(f"local_socket = {self.socket_path}\n" + extra)
        self.log = open(os.path.join(self.dir.name, "brennic.err"), "w+")
        self.service = subprocess.Popen([BRENNIC, "--log-level", "INFO"],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        wait_until_up(self.service, hdf5.status)

    def configure(self, corvane, port=None):
        self.port = port or getattr(self, "port", None) or free_port()
        self.config = os.path.join(self.dir.name, "zelt.ini")
        with open(self.config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {self.port}\nreply_timeout_ms = 5000\n"
                    f"linger_ms = 0\n{corvane}[vesk]\nbootstrap_servers =\n")
        os.environ["ZELT_CONFIG"] = self.config

    def tearDown(self):
        if self.service.poll() is None:
            self.service.terminate()
            self.service.wait(timeout=30)
        self.log.close()
        self.dir.cleanup()

    def restart(self, corvane):
        """Restarts the service with `corvane` as the entries of its [corvane] section."""
        self.service.terminate()
        self.service.wait()
        self.configure(corvane)
        self.service = subprocess.Popen([BRENNIC, "--log-level", "INFO"],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        wait_until_up(self.service, hdf5.status)

    def path(self, *names):
        os.makedirs(os.path.join(self.dir.name, *names[:-1]), exist_ok=True)
        return os.path.join(self.dir.name, *names)

    def logged(self, text, within_s=30):
        """Whether the service's log holds ``text``, waiting for it at most ``within_s``: the
        local thread may log after its client has heard from it."""
        deadline = time.monotonic() + within_s
        while True:
            self.log.seek(0)
            if text in self.log.read():
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)

    def test_acquisitions_from_cplusplus_and_python_read_back(self):
        master = self.path("cpp", "m.h5")
        subprocess.run([ACQUIRE, master, "30", "256", "256", "10"], check=True, timeout=60,
                       stdout=subprocess.DEVNULL)
        data = read_frames(master)
        self.assertEqual(data.shape, (30, 256, 256))
        self.assertEqual(data[29, 0, 0], 29)  # each frame stamped with its index
        self.assertAlmostEqual(float(data[:, 1:, :].mean()), 1.5, delta=0.05)  # Poisson counts
        self.assertTrue(self.logged("attached: ring"))
        # The same frames through the ring, compressed by the service: read back the same.
        compressed = self.path("cpp-bslz4", "m.h5")
        subprocess.run([ACQUIRE, compressed, "30", "256", "256", "10", "bslz4"], check=True,
                       timeout=60, stdout=subprocess.DEVNULL)
        numpy.testing.assert_array_equal(read_frames(compressed), data)
        with h5py.File(compressed, "r") as h:
            self.assertIn("32008", h["entry/data/data_0002"]._filters)
        self.assertTrue(self.logged("bslz4 compression ratio"))
        # Python: copied into slots, filled in place, of another byte order, and two slots only.
        self.configure(f"local_socket = {self.socket_path}\nlocal_slots = 2\n")
        want = frames(25, dtype=">u2")
        with hdf5.open(self.path("py", "m.h5")) as f:
            f.create_dataset_append_split([("/entry/data", 10)])
            for i in range(20):
                f.dataset_append_split_map({"/entry/data": want[i]})
            self.assertTrue(f.has_local_path())
            for i in range(20, 25):
                slot = f.local_slot(want[i].shape, want[i].dtype)
                slot.array[...] = want[i]
                f.dataset_append_split_map({"/entry/data": slot})
        numpy.testing.assert_array_equal(read_frames(self.path("py", "m.h5")), want)

    def test_forged_references_are_refused_and_the_service_serves_on(self):
        ring = _LocalRing(self.socket_path, 2, 1024)
        context = zmq.Context()
        client = context.socket(zmq.DEALER)
        client.setsockopt(zmq.LINGER, 0)
        client.connect(f"tcp://127.0.0.1:{self.port}")
        master = self.path("m.h5")

        def call(item, second=None):
            items = {"/entry/data": item}
            if second is not None:
                items["/entry/other"] = second
            client.send(msgpack.packb({"type": "dataset_append_split_map", "filepath": master,
                                       "map": items, "block": True}))
            self.assertTrue(client.poll(5000))
            return msgpack.unpackb(client.recv(), raw=False)

        def ref(token, slot, nbytes, shape=(4,)):
            return msgpack.ExtType(2, msgpack.packb(["<u2", list(shape), token, slot, nbytes]))

        for item, says in [
            (ref("0" * 32, 0, 8), "unknown ring token"),
            (ref(ring.token, 2, 8), "slot 2 of a ring of 2"),
            (ref(ring.token, 0, 2048, (1024,)), "2048 bytes in a slot of 1024"),
            (ref(ring.token, 0, 6), "needs 8 bytes"),
        ]:
            reply = call(item)
            self.assertEqual(reply["ret"], "error")
            self.assertIn(says, reply["error"])
        reply = call(ref(ring.token, 1, 8), ref(ring.token, 1, 8))  # one slot twice in flight
        self.assertIn("slot 1 is already held", reply["error"])
        client.close()
        context.term()
        ring.close()
        self.assertIsNone(self.service.poll())
        self.assertEqual(hdf5.status()["ret"], "ok")

    def test_a_ring_serves_only_the_connection_that_used_it_first(self):
        master = self.path("m.h5")
        a = hdf5.open(master)
        a.create_dataset_append_split([("/entry/data", 4)])
        a.dataset_append_split_map({"/entry/data": frames(1)[0]}, block=True)
        self.assertTrue(a.has_local_path())
        context = zmq.Context()
        other = context.socket(zmq.DEALER)
        other.setsockopt(zmq.LINGER, 0)
        other.connect(f"tcp://127.0.0.1:{self.port}")
        body = msgpack.packb(["<u2", [4], a._ring.token, 1, 8])
        other.send(msgpack.packb({"type": "dataset_append_split_map", "filepath": master,
                                  "map": {"/entry/data": msgpack.ExtType(2, body)},
                                  "block": True}))
        self.assertTrue(other.poll(10000))
        reply = msgpack.unpackb(other.recv(), raw=False)
        self.assertIn("belongs to another connection", reply["error"])
        other.close()
        context.term()
        # A slot of a's sent through another proxy of the program is refused there at once,
        # and stays a's to send: none is lost, however many frames go through a.
        b = hdf5.open(self.path("b", "m.h5"))
        b.create_dataset_append_split([("/entry/data", 4)])
        slot = a.local_slot((256, 256))
        slot.array[...] = 7
        with self.assertRaisesRegex(ServiceError, "a slot of another proxy's ring"):
            b.dataset_append_split_map({"/entry/data": slot})
        a.dataset_append_split_map({"/entry/data": slot})
        for i in range(3 * a._ring.slots):
            more = a.local_slot((256, 256))
            more.array[...] = i
            a.dataset_append_split_map({"/entry/data": more})
        b.close(block=True)
        b.release()
        a.close(block=True)
        a.release()
        held = read_frames(master)
        self.assertEqual(held.shape[0], 2 + 3 * 16)  # the default ring of 16 slots
        self.assertEqual(int(held[1, 0, 0]), 7)

    def test_idle_connections_hold_up_no_attach_and_rings_are_bounded_per_user(self):
        self.restart(f"local_socket = {self.socket_path}\nlocal_max_rings_per_client = 2\n")
        import socket as sockets
        idle = []
        for _ in range(6):  # connected, and silent
            s = sockets.socket(sockets.AF_UNIX, sockets.SOCK_SEQPACKET)
            s.connect(self.socket_path)
            idle.append(s)
        proxies = [hdf5.open(self.path(f"p{i}", "m.h5")) for i in range(3)]
        attached = []
        for f in proxies:
            f.create_dataset_append_split([("/entry/data", 4)])
            f.dataset_append_split_map({"/entry/data": frames(1)[0]})
            attached.append(f.has_local_path())
        # Each attach is answered at once, whatever the idle ones do; the third ring of one
        # user is refused, and its frames go through TCP.
        self.assertEqual(attached, [True, True, False])
        self.assertTrue(not attached[2] and
                        self.logged("as many as local_max_rings_per_client allows"))
        for f in proxies:
            f.close(block=True)
            f.release()
        for s in idle:
            s.close()
        for i in range(3):
            self.assertEqual(read_frames(self.path(f"p{i}", "m.h5")).shape[0], 1)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user")
    def test_members_of_local_groups_attach_by_a_supplementary_group(self):
        self.restart(f"local_socket = {self.socket_path}\nlocal_groups = 4242\n")
        os.chmod(self.dir.name, 0o755)
        os.chmod(self.socket_path, 0o666)  # the credentials decide here, not the socket's mode
        python = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")

        def attach_as_nobody(groups):
            script = f"""
import os, sys
sys.path.insert(0, {python!r})
from brennic.client import _LocalRing
os.setgroups({groups!r})
os.setresgid(65534, 65534, 65534)
os.setresuid(65534, 65534, 65534)
try:
    _LocalRing({self.socket_path!r}, 2, 1024).close()
    print("attached")
except OSError as error:
    print("refused", error)
"""
            done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                  timeout=60)
            return done.stdout.strip()

        # A member by a supplementary group, as usermod -aG makes one, attaches; others do not.
        self.assertEqual(attach_as_nobody([4242]), "attached")
        self.assertTrue(attach_as_nobody([]).startswith("refused"))
        self.assertTrue(self.logged("uid 65534 gid 65534 refused"))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user")
    def test_a_socket_served_by_another_user_gets_no_frames(self):
        # Another user binds the socket's name first, in a directory anyone may write.
        shared = self.path("shared", "x")
        shared = os.path.dirname(shared)
        os.chmod(self.dir.name, 0o755)
        os.chmod(shared, 0o1777)
        squatted = os.path.join(shared, "brennic.sock")
        heard = os.path.join(shared, "heard")
        squatter = subprocess.Popen([sys.executable, "-c", f"""
import os, socket
os.setresgid(65534, 65534, 65534)
os.setresuid(65534, 65534, 65534)
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.bind({squatted!r})
s.listen(4)
print("ready", flush=True)
c, _ = s.accept()
data = c.recv(512)
if data:
    open({heard!r}, "w").write(repr(data))
"""], stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(squatter.stdout.readline().strip(), "ready")
            self.configure(f"local_socket = {squatted}\n")
            want = frames(3)
            with self.assertWarns(RuntimeWarning):
                with hdf5.open(self.path("m.h5")) as f:
                    f.create_dataset_append_split([("/entry/data", 5)])
                    for frame in want:
                        f.dataset_append_split_map({"/entry/data": frame})
                    self.assertFalse(f.has_local_path())
            numpy.testing.assert_array_equal(read_frames(self.path("m.h5")), want)
            squatter.wait(timeout=10)
            self.assertFalse(os.path.exists(heard), "the squatter heard a ring request")
        finally:
            if squatter.poll() is None:
                squatter.kill()
                squatter.wait()
        # The service itself refuses to listen in such a directory.
        self.restart(f"local_socket = {os.path.join(shared, 'service.sock')}\n")
        self.assertTrue(self.logged("may be written by other users"))

    def test_a_client_of_another_port_never_takes_this_services_ring(self):
        # Another service, on another port, without a same-host path of its own; its client is
        # told this service's socket.
        other_port = free_port()
        ours = self.port
        self.configure("local_socket = off\n", port=other_port)
        other = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until_up(other, hdf5.status)
            self.configure(f"local_socket = {self.socket_path}\n", port=other_port)
            want = frames(20)
            with hdf5.open(self.path("other", "m.h5"), block=False) as f:
                f.create_dataset_append_split([("/entry/data", 8)])
                for frame in want:
                    f.dataset_append_split_map({"/entry/data": frame})
                self.assertFalse(f.has_local_path())
            numpy.testing.assert_array_equal(read_frames(self.path("other", "m.h5")), want)
            # The C++ client too: its frames reach the service it sends to, through TCP.
            acquired = subprocess.run([ACQUIRE, self.path("other-cpp", "m.h5"), "12", "64",
                                       "64", "4"], capture_output=True, text=True, timeout=60)
            self.assertEqual(acquired.returncode, 0, acquired.stderr)
            self.assertIn(f"is not the service's on port {other_port}; frames go over TCP",
                          acquired.stderr)
            self.assertEqual(read_frames(self.path("other-cpp", "m.h5")).shape[0], 12)
            self.assertTrue(self.logged(f"not on port {other_port}"))
            self.assertFalse(self.logged("attached: ring", within_s=0))
        finally:
            other.terminate()
            other.wait(timeout=30)
            self.port = ours

    def test_without_a_local_socket_frames_go_through_tcp(self):
        self.restart("local_socket = off\n")
        # The client still looks where it was told: nothing listens there.
        self.configure(f"local_socket = {self.socket_path}\n")
        want = frames(5)
        with hdf5.open(self.path("m.h5")) as f:
            f.create_dataset_append_split([("/entry/data", 5)])
            for frame in want:
                f.dataset_append_split_map({"/entry/data": frame})
            self.assertFalse(f.has_local_path())
            with self.assertRaises(ServiceError):
                f.local_slot((4,))
        numpy.testing.assert_array_equal(read_frames(self.path("m.h5")), want)

    def test_a_client_killed_holding_slots_loses_nothing_it_sent(self):
        master = self.path("m.h5")
        script = f"""
import os, sys, numpy, zmq
sys.path.insert(0, {os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")!r})
from brennic import hdf5
f = hdf5.open({master!r})
f.create_dataset_append_split([("/entry/data", 100)])
for i in range(9):
    f.dataset_append_split_map({{"/entry/data": numpy.full((256, 256), i, "<u2")}})
f._watch.close()  # the connection's monitor, so that the context can end
f.worker.close(linger=5000)
zmq.Context.instance().term()  # returns once every reference is handed over; the slots are still held
os.kill(os.getpid(), 9)
"""
        subprocess.run([sys.executable, "-c", script], timeout=60)
        deadline = time.monotonic() + 10
        while not self.logged("left; ring"):  # the ring's socket closed with the process
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        with hdf5.open(master) as f:
            pass  # closes the file the killed client left open
        data = read_frames(master)
        numpy.testing.assert_array_equal(data[:, 0, 0], numpy.arange(9))

    def test_the_service_killed_twice_mid_scan_and_restarted_the_same_program_finishes(self):
        self.restart(f"local_socket = {self.socket_path}\njournal_dir = {self.dir.name}/journal\n")
        a = hdf5.open(self.path("a", "m.h5"))
        b = hdf5.open(self.path("b", "m.h5"))
        self.assertTrue(a.has_local_path())  # attached at open
        for f in (a, b):
            f.create_dataset_append_split([("/entry/data", 4)])

        def frame(i):
            return numpy.full((256, 256), i, "<u2")

        for i in range(6):
            a.dataset_append_split_map({"/entry/data": frame(i)})
            b.dataset_append_split_map({"/entry/data": frame(100 + i)})
        self.assertNotEqual(a._ring.token, b._ring.token)
        b.close(block=True)
        numpy.testing.assert_array_equal(read_frames(self.path("b", "m.h5"))[:, 0, 0],
                                         range(100, 106))
        b.release()

        def kill():
            self.service.send_signal(signal.SIGKILL)
            self.service.wait()

        def start():
            self.service = subprocess.Popen([BRENNIC, "--log-level", "INFO"],
                                            stdout=subprocess.DEVNULL, stderr=self.log)
            wait_until_up(self.service, hdf5.status)

        # Killed once every frame sent is carried out: those sent while it is down go through
        # the socket, and reach the next service.
        a._send({"type": "create_dataset_append_split", "filepath": a.filepath,
                 "datainfolist": []}, {"block": True})
        kill()
        for i in range(6, 10):
            a.dataset_append_split_map({"/entry/data": frame(i)})
        self.assertFalse(a.has_local_path())
        start()
        for i in range(10, 20):
            a.dataset_append_split_map({"/entry/data": frame(i)})
        self.assertTrue(a.has_local_path())  # a ring of the new service
        # Killed again with frames in flight: each is carried out or named by the close.
        kill()
        start()
        for i in range(20, 30):
            a.dataset_append_split_map({"/entry/data": frame(i)})
        named = 0
        try:
            a.close(block=True)
        except ServiceError as error:
            text = str(error)
            failed = re.search(r"(\d+) earlier requests? for this file failed", text)
            named += int(failed.group(1)) if failed else 0
            ranges = re.search(r"requests? ([\d, -]+) never reached the service", text)
            for first, last in re.findall(r"(\d+)(?:-(\d+))?", ranges.group(1) if ranges else ""):
                named += int(last or first) - int(first) + 1
        a.release()
        held = list(read_frames(self.path("a", "m.h5"))[:, 0, 0])
        self.assertEqual(held, sorted(set(held)))  # in order, none twice
        self.assertEqual(held[:10], list(range(10)))
        self.assertEqual(held[-10:], list(range(20, 30)))
        self.assertEqual(len(held) + named, 30, f"{held} named {named}")


if __name__ == "__main__":
    BRENNIC, ACQUIRE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
