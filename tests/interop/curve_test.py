"""CURVE: with a key pair and a directory of allowed client keys, only those clients write.
An unknown key, or none, gets nothing written and one log line per key; a key removed and
read again on SIGHUP is refused from then on. Both clients; bad keys stop the start.

    curve_test.py PATH_TO_BRENNIC PATH_TO_BRENNIC_SEND PATH_TO_ACQUIRE
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import h5py
import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import Started, free_port, wait_until_up  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from brennic import ServiceError, hdf5, read_curve_certificate  # noqa: E402

BRENNIC = SEND = ACQUIRE = None


class Curve(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-curve-")
        self.started = Started()
        for who in ("server", "alice", "mallory"):
            if who != "mallory":  # --keygen makes a missing directory itself
                os.mkdir(self.path(who))
            made = subprocess.run([SEND, "--keygen", self.path(who)], capture_output=True,
                                  text=True, timeout=30)
            self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(os.stat(self.path("alice/brennic.key")).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(self.path("mallory")).st_mode & 0o777, 0o700)
        os.mkdir(self.path("clients"), 0o755)
        os.link(self.path("alice/brennic.key.pub"), self.path("clients/alice.pub"))
        self.port = free_port()

    def tearDown(self):
        self.started.stop_all()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def configure(self, who=None, key_file=None, section="corvane"):
        """A configuration for the service and, with ``who``, that client's keys; the CURVE
        entries go into ``section``."""
        config = self.path(f"zelt-{who}.ini")
        server_public = read_curve_certificate(self.path("server/brennic.key"))[0]
        curve = (f"curve_secret_key_file = {key_file or self.path('server/brennic.key')}\n"
                 f"curve_clients_dir = {self.path('clients')}\n")
        with open(config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {self.port}\nlocal_socket = off\n"
                    + (curve if section == "corvane" else "") +
                    "[vesk]\nbootstrap_servers =\n" + (curve if section == "vesk" else ""))
            if who:
                f.write(f"[client]\ncurve_server_key = {server_public}\n"
                        f"curve_secret_key_file = {self.path(who + '/brennic.key')}\n")
        os.environ["ZELT_CONFIG"] = config
        return config

    def start(self, key_file=None, section="corvane"):
        self.configure(key_file=key_file, section=section)
        err = open(self.path("brennic.err"), "a+")
        self.started.logs.append(err)
        service = subprocess.Popen([BRENNIC, "--log-level", "INFO"], stdout=subprocess.DEVNULL, stderr=err)
        self.started.processes.append(service)
        return service, err

    def scan(self, who, name):
        """A scan by ``who`` (None: a client without keys); whether its waiting close said ok."""
        self.configure(who)
        os.makedirs(self.path(name + ".d"))
        master = self.path(name + ".d/" + name)
        try:
            with hdf5.open(master, timeout_ms=8000) as f:
                f.create_dataset_append_split([["/entry/data", 2]])
                f.dataset_append_split_map({"/entry/data": numpy.arange(4, dtype="<u2")})
                f.close(block=True)
            return True
        except ServiceError:
            return False

    def log(self, err):
        err.seek(0)
        return err.read()

    def test_only_allowed_keys_write_until_their_key_is_removed(self):
        service, err = self.start()
        self.configure("alice")
        wait_until_up(service, hdf5.status)
        self.assertIn(f'CURVE on, 1 client keys in "{self.path("clients")}"', self.log(err))
        self.assertTrue(self.scan("alice", "alice.h5"))
        with h5py.File(self.path("alice.h5.d/alice.h5"), "r") as h:
            self.assertEqual(list(h["entry/data/data_0000"][()][0]), [0, 1, 2, 3])
        # The C++ client, with the same configuration.
        self.configure("alice")
        os.mkdir(self.path("cpp"))
        acquired = subprocess.run([ACQUIRE, self.path("cpp/master.h5"), "3", "8", "8", "2"],
                                  capture_output=True, text=True, timeout=120)
        self.assertEqual(acquired.returncode, 0, acquired.stderr)
        for who, name in (("mallory", "mallory.h5"), ("mallory", "mallory2.h5"),
                          (None, "keyless.h5")):
            self.assertFalse(self.scan(who, name), who)
            self.assertFalse(os.path.exists(self.path(name + ".d/" + name)), who)
        self.configure("mallory")
        os.mkdir(self.path("cpp-mallory"))
        refused = subprocess.run([ACQUIRE, self.path("cpp-mallory/master.h5"), "3", "8", "8", "2"],
                                 capture_output=True, text=True, timeout=120)
        self.assertNotEqual(refused.returncode, 0)
        self.assertEqual(os.listdir(self.path("cpp-mallory")), [])
        mallory = read_curve_certificate(self.path("mallory/brennic.key"))[0]
        self.assertEqual(self.log(err).count(f"its CURVE key {mallory} is not in"), 1,
                         self.log(err))
        # Alice's key goes; the service reads the directory again on SIGHUP. A file there that
        # is no certificate is skipped, naming it, and the service serves on.
        os.unlink(self.path("clients/alice.pub"))
        with open(self.path("clients/huge.pub"), "w") as f:
            f.write('public-key = "' + "a" * 60000 + '"\n')
        service.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 30
        while "CURVE clients read again" not in self.log(err):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        self.assertIn("CURVE client skipped: CURVE certificate \"" + self.path("clients/huge.pub"),
                      self.log(err))
        self.assertIsNone(service.poll())
        self.assertFalse(self.scan("alice", "alice-after.h5"))
        self.assertFalse(os.path.exists(self.path("alice-after.h5.d/alice-after.h5")))

    def test_bad_keys_stop_the_start_naming_the_file(self):
        with open(self.path("empty.key"), "w"):
            pass
        with open(self.path("short.key"), "w") as f:
            f.write('public-key = "abc"\nsecret-key = "abc"\n')
        os.mkfifo(self.path("fifo.key"))
        with open(self.path("huge.key"), "w") as f:
            f.write('public-key = "' + " " * 60000 + '"\n')
        for key_file, said in ((self.path("missing.key"), "missing.key"),
                               (self.path("fifo.key"), "not a regular file"),
                               (self.path("huge.key"), "more than a certificate's 16384"),
                               (self.path("empty.key"), "no public-key"),
                               (self.path("short.key"), "not 40 characters of Z85")):
            service, err = self.start(key_file)
            self.assertEqual(service.wait(timeout=30), 1, key_file)
            self.assertIn(said, self.log(err))
        # Entries in the wrong section would leave the service open to every client.
        service, err = self.start(section="vesk")
        self.assertEqual(service.wait(timeout=30), 1)
        self.assertIn("[vesk] curve_secret_key_file belongs in section [corvane]", self.log(err))
        shutil.copy(self.path("alice/brennic.key.pub"), self.path("clients/zz-huge.pub"))
        with open(self.path("clients/zz-huge.pub"), "a") as f:
            f.write("#" * 60000)
        service, err = self.start()
        self.assertEqual(service.wait(timeout=30), 1)
        self.assertIn("zz-huge.pub\": 60", self.log(err))
        os.unlink(self.path("clients/zz-huge.pub"))
        os.chmod(self.path("clients"), 0o777)
        service, err = self.start()
        self.assertEqual(service.wait(timeout=30), 1)
        self.assertIn("others may write it", self.log(err))


if __name__ == "__main__":
    BRENNIC, SEND, ACQUIRE = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
