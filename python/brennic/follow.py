"""Following a scan while it is written: every frame in order, as soon as it is readable.

    from brennic import follow
    for index, frame in follow("/data/scan1/master.h5", "/entry/data"):
        analyse(index, frame)

The service's status says, per split dataset, how many frames are readable ("frames_readable",
N): every frame below N is whole in its file. Finished blocks are read from their sub-files;
the block being filled from its hidden file, with SWMR when it is compressed. The follower
reopens a file for each batch of new rows, so that no cache of HDF5's holds rows from before
they were written. See docs/live.md.
"""
import os
import time
from typing import Iterator

import h5py
import numpy

from .client import ServiceError, hdf5

try:  # the filters of compressed blocks
    import hdf5plugin  # noqa: F401
except ImportError:  # raw scans need none
    pass

# HDF5 errors a reader may meet while a writer changes the file: tried again.
_TRANSIENT = (OSError, KeyError, RuntimeError)


def _same_file(a: str, b: str) -> bool:
    """Whether two spellings of a path name one file: the same text, the same normal absolute
    path, or the same file on disk."""
    if a == b or os.path.normpath(os.path.abspath(a)) == os.path.normpath(os.path.abspath(b)):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _scan_of(status: dict, master: str, dataset: str) -> dict | None:
    """The split dataset's state in a status reply; None when the master is not open. The
    service names a file as its client spelled it, relative or not."""
    files = status.get("files", {})
    entry = files.get(master)
    if entry is None:
        entry = next((e for path, e in files.items() if _same_file(path, master)), None)
    if entry is None:
        return None
    split = entry.get("split", {}).get(dataset)
    if split is None:
        raise ServiceError(f'follow "{master}": it has no split dataset "{dataset}"')
    return split


# HDF5's chunk cache per open file: room for a few compressed frames' chunks. Below a chunk's
# size HDF5 decodes each through a buffer of its own, about three times slower.
_CHUNK_CACHE = 64 << 20


def _open(path: str, swmr: bool) -> h5py.File:
    """``path`` opened afresh: no cache of HDF5's holds rows from before they were written."""
    return h5py.File(path, "r", swmr=swmr, rdcc_nbytes=_CHUNK_CACHE)


def _retrying(read, deadline: float | None, what: str):
    """``read()``, tried again for a while after a transient HDF5 error."""
    delay = 0.01
    while True:
        try:
            return read()
        except FileNotFoundError:
            raise  # renamed: the caller looks again
        except _TRANSIENT:
            if deadline is not None and time.monotonic() > deadline:
                raise
            if delay > 2.0:
                raise ServiceError(f"follow: {what} stays unreadable") from None
            time.sleep(delay)
            delay *= 2


def _closed_frames(master: str, dataset: str, first: int) -> Iterator[tuple[int, numpy.ndarray]]:
    """The frames of a closed scan from ``first`` on, through the master's block links."""
    with h5py.File(master, "r") as f:
        group = f[dataset]
        links = sorted((name for name in group if name.startswith("data_")
                        and name[5:].isdigit()), key=lambda name: int(name[5:]))
        index = 0
        for name in links:
            block = group[name]
            rows = block.shape[0]
            for row in range(max(0, first - index), rows):
                yield index + row, block[row]
            index += rows


def follow(master: str, dataset: str = "/entry/data", *, poll_s: float = 0.2,
           timeout_s: float | None = None) -> Iterator[tuple[int, numpy.ndarray]]:
    """Yields ``(index, frame)`` of the split dataset ``dataset`` of ``master`` in order, each
    as soon as the service says it is readable, and ends after the last frame of a closed
    scan. A scan closed already is read whole from its master. ``timeout_s`` bounds the wait
    for the next frame (ServiceError after it).

    The follower polls the service's status every ``poll_s`` seconds, the service the
    package's configuration names (ZELT_CONFIG); status carries what progress messages on
    Kafka tell, and this package carries no Kafka consumer.
    """
    master = os.path.abspath(master)
    next_index = 0
    waited_since = time.monotonic()
    while True:
        try:
            split = _scan_of(hdf5.status(), master, dataset)
        except ServiceError:
            # A service restarting: its journal brings the scan back.
            if timeout_s is not None and time.monotonic() - waited_since > timeout_s:
                raise
            time.sleep(poll_s)
            continue
        if split is None:
            # Not open (any more): the scan is closed, or was never opened.
            if not os.path.exists(master):
                if timeout_s is not None and time.monotonic() - waited_since > timeout_s:
                    raise ServiceError(f'follow "{master}": no such scan within {timeout_s} s')
                time.sleep(poll_s)
                continue
            yield from _closed_frames(master, dataset, next_index)
            return
        readable = split["frames_readable"]
        size = split["splitSize"]
        while next_index < readable:
            block, row = divmod(next_index, size)
            current = split.get("current")
            if current and block * size == current["first_frame"]:
                path, swmr = current["file"], current["swmr"]
                last = readable - block * size
            else:
                path, swmr = split["sub_files"] % block, False
                last = min(readable - block * size, size)
            deadline = None if timeout_s is None else time.monotonic() + timeout_s
            try:
                f = _retrying(lambda: _open(path, swmr), deadline, path)
            except (FileNotFoundError, ServiceError):
                break  # the block was renamed meanwhile: ask again where it is
            # One row at a time, each yielded at once: a frame's buffer is reused by the next
            # once the caller lets it go, where a batch of large frames would be new memory.
            with f:
                data = f["/entry/data/data"]
                for r in range(row, last):
                    frame = _retrying(lambda: data[r], deadline, path)
                    yield next_index, frame
                    next_index += 1
            waited_since = time.monotonic()
        if timeout_s is not None and time.monotonic() - waited_since > timeout_s:
            raise ServiceError(f'follow "{master}": no new frame within {timeout_s} s')
        time.sleep(poll_s)
