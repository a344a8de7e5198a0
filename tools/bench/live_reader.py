"""The bench's live reader: follows a scan through status polling and writes, per frame, its
index and the CLOCK_MONOTONIC time at which it held the decoded frame. With --status-only it
only polls status every 50 ms until the scan has been open and is closed: the publications'
share of the cost, without the reading.

    live_reader.py PYTHON_DIR MASTER OUT [--status-only]
"""
import sys
import time

sys.path.insert(0, sys.argv[1])
from brennic import follow, hdf5  # noqa: E402

master, out_path = sys.argv[2], sys.argv[3]
with open(out_path, "w") as out:
    print("ready", flush=True)
    if "--status-only" in sys.argv:
        seen = False
        while True:
            open_now = master in hdf5.status()["files"]
            if seen and not open_now:
                break
            seen = seen or open_now
            time.sleep(0.05)
    else:
        for index, frame in follow(master, "/entry/data", poll_s=0.05, timeout_s=120):
            frame.sum()  # decoded and touched
            out.write(f"{index} {time.monotonic():.6f}\n")
