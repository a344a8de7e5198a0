"""The bench's live reader: follows a scan through status polling and writes, per frame, its
index and the CLOCK_MONOTONIC time at which it held the decoded frame.

    live_reader.py PYTHON_DIR MASTER OUT
"""
import sys
import time

sys.path.insert(0, sys.argv[1])
from brennic import follow  # noqa: E402

with open(sys.argv[3], "w") as out:
    print("ready", flush=True)
    for index, frame in follow(sys.argv[2], "/entry/data", poll_s=0.05, timeout_s=120):
        frame.sum()  # decoded and touched
        out.write(f"{index} {time.monotonic():.6f}\n")
