"""Readers in other processes follow scans while the service writes them: the rows of the
block being filled, raw or compressed, read bit-exact up to the count status publishes; a
follower sees every frame once, in order, across a kill -9 of the service; readers holding
every file open hinder nothing.

    live_test.py PATH_TO_BRENNIC
"""
import os
import signal
import subprocess
import sys
import tempfile
import unittest

import h5py
import hdf5plugin  # noqa: F401  (the filters of compressed blocks, for h5py)
import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import free_port, stop, wait_until_up  # noqa: E402

PYTHON = os.path.join(os.path.dirname(__file__), "..", "..", "python")
sys.path.insert(0, PYTHON)
from brennic import ServiceError, hdf5  # noqa: E402

BRENNIC = None
BLOCK = 5
FRAMES = 12
SHAPE = (64, 64)  # 8 KiB: smaller than HDF5's sieve buffer, the case that traps readers

FOLLOWER = """
import sys
sys.path.insert(0, sys.argv[1])
from brennic import follow
for index, frame in follow(sys.argv[2], "/entry/data", poll_s=0.05, timeout_s=120):
    print(index, int(frame.astype("u8").sum()), flush=True)
"""

# Opens each hidden file and sub-file as it appears (and the master, once it may), with
# HDF5's default locking, and holds them all until its input ends.
HOLDER = """
import os, select, sys, h5py, hdf5plugin
directory, held = sys.argv[1], {}
print("ready", flush=True)
while True:
    for name in os.listdir(directory):
        for swmr in (True, False):
            if name in held or not name.endswith((".h5", ".part")):
                continue
            try:
                held[name] = h5py.File(os.path.join(directory, name), "r", swmr=swmr)
            except OSError:
                pass
    if select.select([sys.stdin], [], [], 0.02)[0]:
        break
print(len(held), flush=True)
"""


def frame(i):
    return ((numpy.arange(SHAPE[0] * SHAPE[1], dtype="u8") * (i + 7)) % 65521).astype(
        "<u2").reshape(SHAPE)


class LiveReaders(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-live-")
        self.config = os.path.join(self.dir.name, "zelt.ini")
        with open(self.config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {free_port()}\n"
                    f"journal_dir = {self.dir.name}/journal\nreply_timeout_ms = 30000\n"
                    "linger_ms = 0\n[vesk]\nbootstrap_servers =\n")
        os.environ["ZELT_CONFIG"] = self.config
        self.err = open(os.path.join(self.dir.name, "brennic.err"), "a+")
        self.helpers = []
        self.service = None
        self.start()

    def tearDown(self):
        stop(self.service)
        for helper in self.helpers:
            if helper.poll() is None:
                helper.kill()
            helper.wait()
        self.err.close()
        self.dir.cleanup()

    def start(self):
        self.service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=self.err)
        wait_until_up(self.service, hdf5.status)

    def helper(self, program, *args):
        process = subprocess.Popen([sys.executable, "-c", program, *args], text=True,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.helpers.append(process)
        return process

    def published(self, master):
        return hdf5.status()["files"][master]["split"]["/entry/data"]

    def test_a_scan_opened_by_another_spelling_of_its_path_is_found_open(self):
        from brennic.follow import _scan_of
        scan = os.path.join(self.dir.name, "spelled")
        os.mkdir(scan)
        master = os.path.join(scan, "master.h5")
        for spelling in (scan + "//master.h5", scan + "/./master.h5"):
            with self.subTest(spelling=spelling):
                with hdf5.open(spelling) as f:
                    f.create_dataset_append_split([["/entry/data", BLOCK]])
                    f.dataset_append_split_map({"/entry/data": frame(0)}, block=True)
                    split = _scan_of(hdf5.status(), master, "/entry/data")
                    self.assertIsNotNone(split, spelling)
                    self.assertEqual(split["frames_readable"], 1)
                for name in os.listdir(scan):
                    os.unlink(os.path.join(scan, name))

    def test_rows_being_filled_read_exactly_up_to_the_count_published(self):
        for codec in ("none", "bslz4"):
            with self.subTest(codec=codec):
                scan = os.path.join(self.dir.name, codec)
                os.mkdir(scan)
                master = os.path.join(scan, "master.h5")
                follower = self.helper(FOLLOWER, PYTHON, master)
                holder = self.helper(HOLDER, scan)
                self.assertEqual(holder.stdout.readline(), "ready\n")
                held = None
                with hdf5.open(master) as f:
                    f.create_dataset_append_split([["/entry/data", BLOCK,
                                                    {"compression": codec}]])
                    for i in range(FRAMES):
                        f.dataset_append_split_map({"/entry/data": frame(i)}, block=True)
                        state = self.published(master)
                        self.assertEqual(state["frames_readable"], i + 1)
                        current = state.get("current")
                        if i % BLOCK == BLOCK - 1:
                            self.assertIsNone(current, "between blocks")
                            continue
                        first = current["first_frame"]
                        self.assertEqual((first, current["rows"], current["swmr"]),
                                         (i - i % BLOCK, i % BLOCK + 1, codec != "none"))
                        want = [frame(k) for k in range(first, i + 1)]
                        if not current["swmr"]:
                            # A raw block: any reader, opening it now.
                            with h5py.File(current["file"], "r") as h:
                                rows = h["/entry/data/data"][:current["rows"]]
                            numpy.testing.assert_array_equal(rows, want)
                            continue
                        # A compressed block: a reader that holds it open in SWMR mode gets
                        # the new rows after refresh(). (The follower opens afresh.)
                        if held is None or held[0] != current["file"]:
                            if held:
                                held[1].close()
                            held = (current["file"], h5py.File(current["file"], "r", swmr=True))
                        data = held[1]["/entry/data/data"]
                        data.refresh()
                        self.assertEqual(data.shape[0], current["rows"])
                        numpy.testing.assert_array_equal(data[:], want)
                    if held:
                        held[1].close()
                    if codec == "bslz4":
                        # Killed mid-block: the next start takes the SWMR file up again.
                        self.service.send_signal(signal.SIGKILL)
                        self.service.wait(timeout=30)
                        self.start()
                        f.dataset_append_split_map({"/entry/data": frame(FRAMES)}, block=True)
                    f.close(block=True)
                frames = FRAMES + (codec == "bslz4")
                seen, _ = follower.communicate(timeout=120)
                holder_said, _ = holder.communicate("", timeout=60)
                self.assertGreaterEqual(int(holder_said), 4, "hidden files and sub-files")
                self.assertEqual(seen.split("\n")[:-1],
                                 [f"{k} {int(frame(k).astype('u8').sum())}"
                                  for k in range(frames)])
                with h5py.File(master, "r") as h:
                    stored = numpy.concatenate(
                        [h[f"/entry/data/data_{b:04d}"][()] for b in range(3)])
                numpy.testing.assert_array_equal(stored, [frame(k) for k in range(frames)])
                self.assertEqual([n for n in os.listdir(scan) if n.startswith(".")], [])

    def test_one_virtual_dataset_stacks_all_blocks_also_after_a_restart(self):
        for codec, restart in (("none", False), ("bslz4", True)):
            with self.subTest(codec=codec, restart=restart):
                scan = os.path.join(self.dir.name, "vds-" + codec)
                os.mkdir(scan)
                master = os.path.join(scan, "master.h5")
                with hdf5.open(master) as f:
                    f.create_dataset_append_split([["/entry/data", BLOCK,
                                                    {"compression": codec, "vds": True}]])
                    for i in range(FRAMES):
                        f.dataset_append_split_map({"/entry/data": frame(i)}, block=(i == 7))
                    # The stack's place is the dataset's own.
                    with self.assertRaisesRegex(ServiceError, "links its blocks"):
                        f.create_dataset_map({"/entry/data/data": 1}, block=True)
                    if restart:
                        self.service.send_signal(signal.SIGKILL)
                        self.service.wait(timeout=30)
                        self.start()
                    f.close(block=True)
                with h5py.File(master, "r") as h:
                    stack = h["/entry/data/data"]
                    self.assertTrue(stack.is_virtual)
                    self.assertEqual(stack.shape, (FRAMES,) + SHAPE)
                    numpy.testing.assert_array_equal(stack[()], [frame(k) for k in range(FRAMES)])
                    self.assertEqual(sorted(h["/entry/data"]),
                                     ["data", "data_0000", "data_0001", "data_0002"])
                    self.assertEqual(h["/entry/data"].attrs["NX_class"], "NXdata")
                    self.assertEqual(h["/entry/data"].attrs["signal"], "data")
                # HDF5's own tool, with the filters Debian installs, reads it too.
                dumped = subprocess.run(["h5dump", "-d", "/entry/data/data", "-c", "2,1,4",
                                         master], capture_output=True, text=True, timeout=60,
                                        cwd=self.dir.name)
                self.assertEqual(dumped.returncode, 0, dumped.stderr)
                self.assertIn(f"DATASPACE  SIMPLE {{ ( {FRAMES}, 64, 64 )", dumped.stdout)
                self.assertIn(f"(1,0,0): {frame(1)[0, 0]}, {frame(1)[0, 1]}", dumped.stdout)

    def test_bad_vds_options_are_refused_naming_them(self):
        master = os.path.join(self.dir.name, "bad.h5")
        with hdf5.open(master) as f:
            for options, said in (({"vds": "yes"}, '"vds" "yes" is not a boolean'),
                                  ({"vsd": True}, '"compression", "compression_level" and '
                                                  '"vds"')):
                with self.assertRaisesRegex(ServiceError, said):
                    f.create_dataset_append_split([["/entry/data", 2, options]], block=True)
            f.create_dataset_map({"/entry/pilatus/data": 1}, block=True)
            with self.assertRaisesRegex(ServiceError, '"/entry/pilatus/data" is in .* already'):
                f.create_dataset_append_split([["/entry/pilatus", 2, {"vds": True}]],
                                              block=True)
            f.close(block=True)


if __name__ == "__main__":
    BRENNIC = sys.argv.pop(1)
    unittest.main()
