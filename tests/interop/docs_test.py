"""The docs' examples, each run alone and as written, against the real service: every Python
example of python.md in a fresh working directory, and the program of client.md.

    docs_test.py PATH_TO_BRENNIC PATH_TO_CLIENT_MD_PROGRAM DOCS_DIR
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import h5py

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, wait_until_up  # noqa: E402

PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")
sys.path.insert(0, PYTHON_DIR)
from brennic import hdf5  # noqa: E402

BRENNIC = PROGRAM = DOCS = None


class Examples(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-docs-")
        self.config = os.path.join(self.dir.name, "zelt.ini")
        with open(self.config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {free_port()}\nreply_timeout_ms = 60000\n"
                    f"local_socket = {self.dir.name}/local.sock\n[vesk]\nbootstrap_servers =\n")
        os.environ["ZELT_CONFIG"] = self.config
        self.log = open(os.path.join(self.dir.name, "brennic.err"), "w+")
        self.service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=self.log)
        wait_until_up(self.service, hdf5.status)

    def tearDown(self):
        self.service.terminate()
        self.service.wait(timeout=60)
        self.log.close()
        self.dir.cleanup()

    def run_in(self, name, command):
        """Runs `command` in a working directory of its own; returns that directory."""
        cwd = os.path.join(self.dir.name, name)
        os.mkdir(cwd)
        done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=240,
                              env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
        self.assertEqual(done.returncode, 0, f"{name}: {done.stdout}{done.stderr}")
        return cwd

    def test_every_python_example_runs_alone(self):
        with open(os.path.join(DOCS, "python.md")) as page:
            # Examples start at the line's beginning; indented snippets are fragments.
            examples = re.findall(r"^```python\n(.*?)^```", page.read(), re.S | re.M)
        self.assertEqual(len(examples), 4)
        for n, example in enumerate(examples):
            cwd = self.run_in(f"python-{n}", [sys.executable, "-c", example])
            masters = [os.path.join(root, name) for root, _, names in os.walk(cwd)
                       for name in names if name == "master.h5"]
            self.assertEqual(len(masters), 1, n)
            with h5py.File(masters[0], "r") as h:
                self.assertGreater(len(h["entry/data"]), 0)

    def test_the_cplusplus_program_runs_as_written(self):
        cwd = self.run_in("cpp", [PROGRAM])
        with h5py.File(os.path.join(cwd, "scan1", "master.h5"), "r") as h:
            self.assertEqual(len(h["entry/data"]), 3)
            self.assertEqual(h["entry/position"].shape, (250,))


if __name__ == "__main__":
    BRENNIC, PROGRAM, DOCS = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
