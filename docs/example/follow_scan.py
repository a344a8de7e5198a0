"""Follows a scan while it is written, as online analysis would, and says how far behind the
writer it stayed: the frames the service had written but the reader not yet held, and the time
from the service counting a frame written to the reader holding it (both as seen through
status polled every 50 ms, so within about 50 ms).

    follow_scan.py MASTER [DATASET]
"""
import statistics
import sys
import threading
import time

from brennic import ServiceError, follow, hdf5

master = sys.argv[1]
dataset = sys.argv[2] if len(sys.argv) > 2 else "/entry/data"
written_at = {}  # frame index: when status first counted it written
done = threading.Event()


def watch_writer():
    """Notes when each frame is first counted written: finished blocks and rows of the one
    being filled."""
    while not done.is_set():
        try:
            split = hdf5.status()["files"].get(master, {}).get("split", {}).get(dataset)
        except ServiceError:
            split = None
        if split:
            written = (split["splitFileIndex"] * split["splitSize"] + split["rows"])
            now = time.monotonic()
            for index in range(len(written_at), written):
                written_at[index] = now
        time.sleep(0.05)


watcher = threading.Thread(target=watch_writer, daemon=True)
watcher.start()
lags_ms, behind = [], []
frames = 0
for index, frame in follow(master, dataset, poll_s=0.05, timeout_s=60):
    now = time.monotonic()
    frames += 1
    if index in written_at:
        lags_ms.append((now - written_at[index]) * 1000)
        behind.append(len(written_at) - 1 - index)
done.set()
watcher.join()
if lags_ms:
    print(f"live reader: held all {frames} frames, at most {max(behind)} frames and "
          f"{max(lags_ms):.0f} ms behind the writer (median {statistics.median(lags_ms):.0f} ms)")
else:
    print(f"live reader: held {frames} frames (the scan ended before the first poll)")
