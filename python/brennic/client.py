"""The client class ``hdf5``: one file the brennic service holds open for this program."""
from __future__ import annotations

import mmap
import numbers
import os
import pwd
import select
import socket
import sys
import struct
import time
import weakref
import itertools
import logging
import warnings
from typing import Any

import msgpack
import numpy
import zmq
import zmq.utils.monitor

from .config import Config, read_config, read_curve_certificate

# Element types the protocol carries, as NumPy type strings without byte order.
_ARRAY_KINDS = {"b1", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f4", "f8"}


class ServiceError(Exception):
    """The service answered a waiting call with an error, or did not answer in time."""


_log = logging.getLogger("brennic")

# The service refuses messages nested deeper than this (a map or list is one level, an array
# two: its ext and the header inside).
_MAX_NESTING = 64


def _levels(value: Any, above: int = 0) -> int:
    """The nesting levels the service's decoder counts in ``value``, stopping past the bound."""
    if above > _MAX_NESTING:
        return 0
    if isinstance(value, dict):
        return 1 + max((_levels(v, above + 1) for v in value.values()), default=0)
    if isinstance(value, (list, tuple)):
        return 1 + max((_levels(v, above + 1) for v in value), default=0)
    if isinstance(value, (numpy.ndarray, LocalSlot, Compressed)):
        return 2
    return 0


# Arrays smaller than this go inline: a slot costs a release message.
_LOCAL_MIN_BYTES = 64 * 1024


class LocalSlot:
    """A slot of the shared ring, lent to fill in place: ``array`` is a NumPy view on it. Put
    the slot itself into an append's map to send it without a copy. A slot is sent once: its
    array is read-only from then on, and sending it again is refused."""

    def __init__(self, ring: "_LocalRing", index: int, array: numpy.ndarray):
        self.ring = ring
        self.index = index
        self.array = array
        self.sent = False


class Compressed:
    """A frame its sender compressed, passed through to the file as it is: ``data`` is one
    chunk of ``codec`` (``"bslz4"``: HDF5's bitshuffle-LZ4 chunk, its 12-byte header and
    blocks, as fast detectors' streams deliver it) holding an array of ``dtype`` and
    ``shape``. It goes into a split dataset registered with ``{"compression": "bslz4"}``."""

    def __init__(self, data: bytes | bytearray | memoryview, dtype: Any, shape: tuple,
                 codec: str = "bslz4"):
        self.data = bytes(data)
        self.dtype = numpy.dtype(dtype)
        self.shape = tuple(int(n) for n in shape)
        self.codec = codec
        if self.dtype.str[1:] not in _ARRAY_KINDS:
            raise TypeError(f"arrays of {self.dtype} cannot be sent; use one of "
                            f"{', '.join(sorted(_ARRAY_KINDS))}")
        if codec != "bslz4":
            raise ValueError(f"codec {codec!r} is not 'bslz4'")


class _ForeignRing(OSError):
    """The local socket is another service's: it is not tried again."""


class _LocalRing:
    """A ring of slots in shared memory, attached over the service's local socket, which stays
    open: its end tells that the service is gone."""

    def __init__(self, path: str, slots: int, slot_bytes: int, service_user: str = "",
                 port: str | None = None):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.socket.settimeout(2)
            self.socket.connect(path)
            _check_served_by_service(self.socket, path, service_user)
            request = {"slots": slots, "slot_bytes": slot_bytes}
            if port is not None:
                request["port"] = str(port)
            self.socket.send(msgpack.packb(request))
            data, fds, _, _ = socket.recv_fds(self.socket, 512, 1)
            reply = msgpack.unpackb(data, raw=False)
            foreign = port is not None and reply.get("port", str(port)) != str(port)
            unchecked = port is not None and "port" not in reply
            for fd in fds if "error" in reply or foreign or unchecked else []:
                socket.close(fd)
            if foreign:
                # Another service's ring would take frames whose requests go elsewhere.
                raise _ForeignRing(f"the local socket {path} is not the service's on port {port}")
            if "error" in reply or not fds or unchecked:
                raise OSError(reply.get("error", "no ring of a known port"))
            self.token = reply["token"]
            self.slots = reply["slots"]
            self.slot_bytes = reply["slot_bytes"]
            try:
                self.memory = mmap.mmap(fds[0], self.slots * self.slot_bytes, mmap.MAP_SHARED,
                                        mmap.PROT_READ | mmap.PROT_WRITE)
            finally:
                for fd in fds:
                    socket.close(fd)
        except BaseException:
            self.socket.close()
            raise
        self.bytes = numpy.frombuffer(self.memory, dtype=numpy.uint8)
        self.in_use = [False] * self.slots
        self.lent: set[int] = set()  # taken by local_slot() and not yet sent

    def service_gone(self) -> bool:
        readable, _, broken = select.select([self.socket], [], [self.socket], 0)
        return bool(readable or broken)

    def take_free(self) -> int | None:
        for index, used in enumerate(self.in_use):
            if not used:
                self.in_use[index] = True
                return index
        return None

    def view(self, index: int, dtype: numpy.dtype, shape: tuple) -> numpy.ndarray:
        start = index * self.slot_bytes
        count = int(numpy.prod(shape, dtype=numpy.int64)) * dtype.itemsize
        return self.bytes[start:start + count].view(dtype).reshape(shape)

    def close(self) -> None:
        self.socket.close()
        self.bytes = None
        try:
            self.memory.close()
        except BufferError:
            pass  # slot arrays the program still holds keep the memory mapped until they go


def _check_served_by_service(sock: socket.socket, path: str, service_user: str) -> None:
    """Raises OSError unless root or the service's user serves ``sock``: whoever binds the
    socket's name first would otherwise read every frame sent there."""
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    _, uid, _ = struct.unpack("3i", creds)
    if uid == 0:
        return
    if not service_user:
        expected = os.stat(os.path.dirname(path) or ".").st_uid
    elif service_user.isdigit():
        expected = int(service_user)
    else:
        try:
            expected = pwd.getpwnam(service_user).pw_uid
        except KeyError:
            expected = None
    if uid != expected:
        warnings.warn(f"the local socket {path} is served by uid {uid}, not the service's "
                      f"user; frames go over TCP", RuntimeWarning, stacklevel=4)
        raise OSError(f"{path} is served by uid {uid}")


def _encode(value: Any) -> Any:
    """msgpack's default= hook: NumPy scalars as plain numbers, arrays as ext type 1, filled
    slots as ext type 2, frames compressed by their sender as ext type 3."""
    if isinstance(value, LocalSlot):
        if value.sent:
            raise ValueError(f"slot {value.index} was sent already; take a new one for each frame")
        a = value.array
        body = msgpack.packb([a.dtype.str, list(a.shape), value.ring.token, value.index,
                              a.nbytes])
        return msgpack.ExtType(2, body)
    if isinstance(value, Compressed):
        header = msgpack.packb([value.dtype.str, list(value.shape), value.codec])
        return msgpack.ExtType(3, header + value.data)
    if isinstance(value, numpy.generic):
        if isinstance(value, numpy.bool_):
            return bool(value)
        return value.item()  # a NumPy float32 is a number, not a 0-d array
    if isinstance(value, numpy.ndarray):
        kind = value.dtype.str[1:]
        if kind not in _ARRAY_KINDS:
            raise TypeError(f"arrays of {value.dtype} cannot be sent; use one of "
                            f"{', '.join(sorted(_ARRAY_KINDS))}")
        # C order, in the array's own byte order: any layout or view is sent correctly. The
        # shape is the array's own: ascontiguousarray would make a 0-d array (1,).
        header = msgpack.packb([value.dtype.str, list(value.shape)])
        return msgpack.ExtType(1, header + value.tobytes(order="C"))
    if isinstance(value, (tuple, set, frozenset)):
        return list(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    raise TypeError(f"{type(value).__name__} values cannot be sent")


def _decode_ext(code: int, data: bytes) -> Any:
    if code != 1:
        return msgpack.ExtType(code, data)
    unpacker = msgpack.Unpacker()
    unpacker.feed(data)
    typestr, shape = unpacker.unpack()
    return numpy.frombuffer(data[unpacker.tell():], typestr).reshape(shape)


def _pack(record: dict) -> bytes:
    return msgpack.packb(record, default=_encode, use_bin_type=True, strict_types=False)


def _context() -> zmq.Context:
    """The process's one ZeroMQ context: every proxy's socket lives in it."""
    return zmq.Context.instance()


def _slots_in(record: dict) -> list[LocalSlot]:
    values = record.get("map")
    return [v for v in values.values() if isinstance(v, LocalSlot)] if isinstance(values, dict) \
        else []


# A waiting call whose socket has had no service connected for this long gives up: nobody
# answers at that address. A connected service, however busy, is waited for.
_UNREACHABLE_AFTER_S = 4.0
# The slots of the ring attached at open; a larger frame attaches a ring of its own size.
_OPEN_SLOT_BYTES = 1 << 20
_HEARTBEAT_MS = 1000


class _Watch:
    """ZeroMQ's socket monitor on a client's socket: whether a service has been connected
    lately. Heartbeats drop a connection whose peer is silent for three of them."""

    _made = itertools.count()

    def __init__(self, socket: zmq.Socket):
        # An address of its own: pyzmq's default one is named after the socket's descriptor,
        # which the next socket may reuse before the last monitor is gone.
        address = f"inproc://brennic-monitor-{os.getpid()}-{next(self._made)}"
        socket.monitor(address, zmq.EVENT_HANDSHAKE_SUCCEEDED | zmq.EVENT_DISCONNECTED)
        self.socket = socket
        self.monitor = socket.context.socket(zmq.PAIR)
        self.monitor.connect(address)
        self.connected = False
        self.last_connected = time.monotonic()

    def answers_within(self, grace_s: float) -> bool:
        while self.monitor.poll(0):
            event = zmq.utils.monitor.recv_monitor_message(self.monitor)
            self.connected = event["event"] == zmq.EVENT_HANDSHAKE_SUCCEEDED
            self.last_connected = time.monotonic()
        return self.connected or time.monotonic() - self.last_connected < grace_s

    def close(self) -> None:
        # The monitor stops before its reader goes: an event sent to a reader that is gone
        # would block ZeroMQ's I/O thread, and every socket of the process with it.
        if not self.socket.closed:
            self.socket.disable_monitor()
        if not self.monitor.closed:
            self.monitor.close(linger=0)

    def __del__(self) -> None:
        # A proxy dropped without release(): its watch goes first, in the right order.
        try:
            self.close()
        except Exception:  # noqa: BLE001 - at interpreter exit ZeroMQ may be gone already
            pass


def _connect(config: Config, context: zmq.Context) -> tuple[zmq.Socket, _Watch]:
    """A DEALER connected to the service, and its watch (made before it connects, so that
    no event is missed)."""
    socket = context.socket(zmq.DEALER)
    socket.setsockopt(zmq.HEARTBEAT_IVL, _HEARTBEAT_MS)
    socket.setsockopt(zmq.HEARTBEAT_TIMEOUT, 3 * _HEARTBEAT_MS)
    # One identity for the life of the proxy, so that a restarted service counts its requests
    # on; the first byte is never zero (ZeroMQ keeps those for itself).
    socket.setsockopt(zmq.ROUTING_ID, bytes([0x80 | os.urandom(1)[0]]) + os.urandom(15))
    socket.setsockopt(zmq.LINGER, config.linger_ms)
    socket.setsockopt(zmq.SNDHWM, config.send_hwm)
    if config.curve_server_key:
        public, secret = read_curve_certificate(config.curve_secret_key_file)
        socket.curve_serverkey = config.curve_server_key.encode()
        socket.curve_publickey = public.encode()
        socket.curve_secretkey = secret.encode()
    host = config.ip
    if ":" in host and not host.startswith("["):
        host = f"[{host}]"
        socket.setsockopt(zmq.IPV6, 1)
    watch = _Watch(socket)
    socket.connect(f"tcp://{host}:{config.port}")
    return socket, watch


def _send_or_fail(socket: zmq.Socket, payload: bytes, what: str, endpoint: str,
                  watch: _Watch | None) -> None:
    """Sends ``payload``: while the service is busy, waits; with ``watch``, raises
    ServiceError once nobody has answered at the address for about 5 s, the request unsent."""
    while True:
        try:
            socket.send(payload, zmq.NOBLOCK if watch is not None else 0)
            return
        except zmq.Again:
            pass
        socket.poll(200, zmq.POLLOUT)
        if not watch.answers_within(_UNREACHABLE_AFTER_S):
            raise ServiceError(f"{what}: nobody answers at {endpoint}, so the request was not "
                               "sent (is the service running? start it with `brennic`, or "
                               "`systemctl start brennic`; ZELT_CONFIG names the address)")


def _wait_reply(socket: zmq.Socket, timeout_ms: int, what: str, endpoint: str,
                waited_ms: int | None = None, watch: _Watch | None = None) -> dict:
    """The next message, within ``timeout_ms``; ``waited_ms`` is the whole wait to name. With
    ``watch``, gives up within about 5 s when nobody answers at the address."""
    deadline = time.monotonic() + timeout_ms / 1000
    while not socket.poll(max(0, min(200, int((deadline - time.monotonic()) * 1000)))):
        if watch is not None and not watch.answers_within(_UNREACHABLE_AFTER_S):
            raise ServiceError(f"{what}: nobody answers at {endpoint} (is the service running? "
                               "start it with `brennic`, or `systemctl start brennic`; "
                               "ZELT_CONFIG names the address)")
        if time.monotonic() >= deadline:
            raise ServiceError(f"{what}: the service at {endpoint} did not answer within "
                               f"{timeout_ms if waited_ms is None else waited_ms} ms")
    reply = msgpack.unpackb(socket.recv(), ext_hook=_decode_ext, raw=False)
    if not isinstance(reply, dict):
        raise ServiceError(f"{what}: unexpected reply {reply!r}")
    return reply


def _raise_unless_ok(reply: dict, what: str) -> None:
    if reply.get("ret") == "ok":
        return
    error = reply.get("error")
    if not isinstance(error, str):
        raise ServiceError(f"{what}: unexpected reply {reply!r}")
    # The service names the request itself: 'close "PATH": ...'.
    raise ServiceError(error if error.startswith(what) else f"{what}: {error}")


class hdf5:  # noqa: N801 - the system's own name
    """One HDF5 file held open by the service. Each method sends one request; one with a true
    ``block`` waits for its own reply. As a context manager it closes waiting."""

    def __init__(self, filepath: str, ip: str, port: str, worker: zmq.Socket,
                 config: Config | None = None, context: zmq.Context | None = None):
        self.filepath = filepath
        self.ip = ip
        self.port = port
        self.worker = worker
        self._config = config or Config(ip=ip, port=port)
        self._context = context
        self.reply_timeout_ms = self._config.reply_timeout_ms
        self._local_socket = (self._config.local_socket
                              or f"/run/brennic/brennic-{port}.sock")
        self._ring: _LocalRing | None = None
        self._own_rings: weakref.WeakSet = weakref.WeakSet()  # this proxy's, now or before
        self._next_attach = 0.0  # a client may start before its service: tried now and then
        self._ring_lost = False  # a ring's service went away, and no ring took its place yet
        self._sent = 1  # requests sent, each numbered by "seq"; "open" was the first
        self._watch: _Watch | None = None  # set by open(): tells a service gone from a busy one

    @classmethod
    def open(cls, filepath: str, block: bool = True,
             timeout_ms: int | None = None) -> "hdf5":
        """Connects a worker of its own, sends the "open" request and returns the proxy. By
        default waits until the file is open (at most ``timeout_ms``, else reply_timeout_ms,
        and about 5 s when nobody answers), and raises ServiceError here when it cannot be;
        with ``block=False`` returns at once, and a failed open is told by the waiting close.
        On the service's host, attaches to its ring of shared memory at once."""
        config = read_config()
        worker, watch = _connect(config, _context())
        record = {"type": "open", "filepath": filepath, "seq": 1}
        if block:
            record["block"] = True
        _send_or_fail(worker, _pack(record), f'open "{filepath}"',
                      f"tcp://{config.ip}:{config.port}", watch)
        proxy = cls(filepath, config.ip, config.port, worker, config)
        proxy._watch = watch
        if block:
            configured = proxy.reply_timeout_ms
            if timeout_ms is not None:
                proxy.reply_timeout_ms = timeout_ms
            try:
                proxy._await_reply(f'open "{filepath}"', 1)
            except BaseException:
                proxy.release()
                raise
            finally:
                proxy.reply_timeout_ms = configured
        proxy._attach(_OPEN_SLOT_BYTES)
        return proxy

    @classmethod
    def clossAll(cls) -> None:  # noqa: N802 - the system's own spelling
        """Asks the service to close every open file, on a connection of its own."""
        config = read_config()
        socket, watch = _connect(config, _context())
        socket.send(_pack({"type": "closeAll"}))
        watch.close()
        socket.close()  # lingers linger_ms for the request to leave

    @classmethod
    def close_all(cls) -> None:
        """clossAll under the name Python users look for."""
        cls.clossAll()

    @classmethod
    def status(cls, timeout_ms: int | None = None) -> dict:
        """What the service holds: files, values held, blocks, owed notifications. Waits at
        most ``timeout_ms`` (else reply_timeout_ms), and about 5 s when nobody answers."""
        config = read_config()
        socket, watch = _connect(config, _context())
        try:
            socket.send(_pack({"type": "status", "block": True}))
            reply = _wait_reply(socket, config.reply_timeout_ms if timeout_ms is None
                                else timeout_ms, "status",
                                f"tcp://{config.ip}:{config.port}", watch=watch)
        finally:
            watch.close()
            socket.close(linger=0)
        _raise_unless_ok(reply, "status")
        return reply

    def has_local_path(self) -> bool:
        """Whether frames go through a ring of shared memory (the service is on this host)."""
        return self._ring is not None

    def _attach(self, slot_bytes: int) -> bool:
        if self._ring is not None:
            return True
        if self._local_socket == "off" or time.monotonic() < self._next_attach:
            return False
        self._next_attach = time.monotonic() + 0.1
        try:
            self._ring = _LocalRing(self._local_socket, self._config.local_slots, slot_bytes,
                                    self._config.local_service_user, self.port)
            self._own_rings.add(self._ring)
            self._ring_lost = False
        except _ForeignRing:
            self._ring = None
            self._local_socket = "off"
        except OSError:
            self._ring = None  # not on this host, or refused: frames go through the socket
        return self._ring is not None

    def _drop_ring(self) -> None:
        self._ring.close()  # slots the program still holds stay mapped while it holds them
        self._ring = None
        self._next_attach = 0.0

    def _live_ring(self, nbytes: int) -> _LocalRing | None:
        """The ring for arrays of ``nbytes``, its service checked to be there: a ring whose
        service went away is dropped, and one of smaller slots, none in use, makes way for a
        larger one."""
        if self._ring is not None and self._ring.service_gone():
            self._drop_ring()
            self._ring_lost = True
        if self._ring is not None and nbytes > self._ring.slot_bytes \
                and not any(self._ring.in_use):
            self._drop_ring()
        self._attach(max(nbytes, _OPEN_SLOT_BYTES))
        return self._ring

    def _absorb(self, message: dict) -> bool:
        """Takes a release message; False for any other message."""
        if not isinstance(message, dict) or "release" not in message:
            return False
        if self._ring and message.get("token") == self._ring.token:
            for index in message["release"]:
                # A slot lent to the program and not yet sent stays the program's.
                if 0 <= index < self._ring.slots and index not in self._ring.lent:
                    self._ring.in_use[index] = False
        return True

    def _take_slot(self, shape: tuple, dtype: numpy.dtype,
                   wait_for_service: bool) -> LocalSlot | None:
        """A free slot for an array of ``shape`` and ``dtype``; None when there is no ring for
        it and ``wait_for_service`` is false."""
        nbytes = int(numpy.prod(shape, dtype=numpy.int64)) * dtype.itemsize
        started = time.monotonic()
        deadline = started + self.reply_timeout_ms / 1000
        while True:
            while self.worker.poll(0):
                self._absorb(msgpack.unpackb(self.worker.recv(), raw=False))
            ring = self._live_ring(nbytes)
            if ring is None:
                # A service that went away is given a few seconds for another to take its place.
                if not wait_for_service:
                    return None
                if not self._ring_lost:
                    raise ServiceError(f"no local path to the service at {self._local_socket}")
                if time.monotonic() - started > _UNREACHABLE_AFTER_S:
                    raise ServiceError(f"the service at {self._local_socket} has gone away, "
                                       "and no other has taken its place")
                time.sleep(0.1)
                continue
            if nbytes > ring.slot_bytes:
                if not wait_for_service:
                    return None
                raise ServiceError(f"{nbytes} bytes do not fit a slot of {ring.slot_bytes} "
                                   "while slots are in use")
            index = ring.take_free()
            if index is not None:
                return LocalSlot(ring, index, ring.view(index, dtype, tuple(shape)))
            if time.monotonic() > deadline:
                raise ServiceError(f"no slot came free within {self.reply_timeout_ms} ms")
            self.worker.poll(20)

    def local_slot(self, shape: tuple, dtype: Any = numpy.uint16) -> LocalSlot:
        """A free slot to fill in place, as a NumPy array of ``shape`` and ``dtype``. Waits for
        one to come free; when the service went away, waits about 5 s for another to take its
        place. Raises ServiceError without a local path, or on a time-out. A slot filled
        before its service went away is sent through the socket."""
        slot = self._take_slot(tuple(shape), numpy.dtype(dtype), True)
        slot.ring.lent.add(slot.index)  # the program's until it is sent
        return slot

    def _through_ring(self, m: dict, taken: list[LocalSlot]) -> dict:
        """``m`` with its large arrays copied into slots, which are added to ``taken``. Without
        a ring for one (the service gone, say), it goes through the socket."""
        if self._local_socket == "off":
            return m
        out = {}
        for name, value in m.items():
            if (not isinstance(value, numpy.ndarray) or value.nbytes < _LOCAL_MIN_BYTES
                    or value.dtype.str[1:] not in _ARRAY_KINDS):
                out[name] = value
                continue
            slot = self._take_slot(value.shape, value.dtype, False)
            if slot is None:
                out[name] = value
                continue
            taken.append(slot)
            slot.array[...] = value  # one copy, in C order, in the array's own byte order
            out[name] = slot
        return out

    def _send(self, record: dict, kwargs: dict, taken: list[LocalSlot] | None = None) -> None:
        """Sends ``record`` with ``kwargs`` added; with a true ``block``, waits for its reply.
        Slots in ``taken`` were filled for this request: they go back if it cannot be sent."""
        record.update(kwargs)  # named arguments follow, and replace a fixed key of their name
        values = record.get("map")
        if isinstance(values, dict):
            for name, value in values.items():
                if isinstance(value, LocalSlot) and value.ring not in self._own_rings:
                    # Its ring serves the proxy that lent it, and only there does it come back.
                    raise ServiceError(
                        f'{record.get("type")} "{record.get("filepath", self.filepath)}": '
                        f"{name!r} is a slot of another proxy's ring; send it through the "
                        "proxy whose local_slot() lent it, or send its array")
        if isinstance(values, dict) and any(isinstance(value, LocalSlot)
                                            and value.ring is not self._ring
                                            for value in values.values()):
            # A slot filled before its service went away goes inline: the next service never
            # saw that ring.
            record["map"] = {name: numpy.array(value.array)
                             if isinstance(value, LocalSlot) and value.ring is not self._ring
                             else value for name, value in values.items()}
        # Counted per proxy, for its own file: a gap tells the service that requests were lost
        # on the way. A request that names another file is not counted.
        counted = record.get("filepath") == self.filepath
        if counted:
            record["seq"] = self._sent + 1
        what = f'{record.get("type")} "{record.get("filepath", self.filepath)}"'
        try:
            if _levels(record) > _MAX_NESTING:
                raise ServiceError(f"{what}: the request is nested deeper than {_MAX_NESTING} "
                                   f"levels, and the service would refuse it")
            payload = _pack(record)
            if len(payload) > self._config.max_message_bytes:
                raise ServiceError(
                    f"{what}: the request is {len(payload)} bytes, more than max_message_bytes "
                    f"({self._config.max_message_bytes}) of {self._config.source}, and the "
                    f"service would drop it unread")
            _send_or_fail(self.worker, payload, what, f"tcp://{self.ip}:{self.port}", self._watch)
        except BaseException:
            if self._ring is not None:
                for slot in taken or []:
                    if slot.ring is self._ring:
                        self._ring.in_use[slot.index] = False
            raise
        if counted:
            self._sent += 1
        if self._watch is not None:
            self._watch.answers_within(_UNREACHABLE_AFTER_S)  # its events read, never piled up
        for slot in _slots_in(record):
            slot.sent = True
            slot.ring.lent.discard(slot.index)
            slot.array.flags.writeable = False  # what the service reads must not change
        if kwargs.get("block"):
            # Each waiting request takes its own reply: none is left for a later one.
            self._await_reply(what, record["seq"] if counted else None)

    def _await_reply(self, what: str, seq: int | None = None) -> None:
        endpoint = f"tcp://{self.ip}:{self.port}"
        deadline = time.monotonic() + self.reply_timeout_ms / 1000
        while True:
            left = max(0, int((deadline - time.monotonic()) * 1000))
            reply = _wait_reply(self.worker, left, what, endpoint, self.reply_timeout_ms,
                                self._watch)
            if self._absorb(reply):  # slot releases come on the same connection
                continue
            # A numbered request's reply carries its number: any other reply (to a message
            # the service could not read, say) is not its own.
            if seq is None or reply.get("seq") == seq:
                break
            _log.warning("%s: skipped a reply that is not its own: %.512r", what, reply)
        _raise_unless_ok(reply, what)

    def create_dataset_map(self, m: dict, **kwargs: Any) -> None:
        """Writes the leaves of ``m`` as datasets of the file (``block=True`` waits)."""
        if m:
            self._send({"type": "create_dataset_map", "filepath": self.filepath, "map": m},
                       kwargs)

    def create_dataset_append(self, l: list) -> None:  # noqa: E741 - the system's own name
        """Registers appendable datasets: maps with "datasetname" and optional "batch"."""
        if l:
            self._send({"type": "create_dataset_append", "filepath": self.filepath,
                        "dataset_info_list": list(l)}, {})

    def create_dataset_append_split(self, l: list, **kwargs: Any) -> None:  # noqa: E741
        """Registers split datasets: pairs [name, splitSize], or [name, splitSize, options]
        with options such as {"compression": "bslz4"} ("none", "bslz4", "blosc-lz4",
        "blosc-zstd"; "compression_level" 0-9 for Blosc) and {"vds": True} (one virtual
        dataset "name/data" over all blocks, made at close). ``block=True`` waits."""
        if l:
            self._send({"type": "create_dataset_append_split", "filepath": self.filepath,
                        "datainfolist": [list(pair) for pair in l]}, kwargs)

    def dataset_append_map(self, m: dict, **kwargs: Any) -> None:
        """Appends one value to each named appendable dataset."""
        if m:
            taken: list[LocalSlot] = []
            self._send({"type": "dataset_append_map", "filepath": self.filepath,
                        "map": self._through_ring(m, taken)}, kwargs, taken)

    def dataset_append_split_map(self, m: dict, **kwargs: Any) -> None:
        """Appends one item (a frame) to each named split dataset; identify and CTType ride
        along to the notification of a block the item completes."""
        if m:
            taken: list[LocalSlot] = []
            self._send({"type": "dataset_append_split_map", "filepath": self.filepath,
                        "map": self._through_ring(m, taken)}, kwargs, taken)

    def close(self, **kwargs: Any) -> None:
        """Closes the file on the service's side. With a true ``block``, waits until it is
        complete there, and raises ServiceError on an error reply or a time-out."""
        self._send({"type": "close", "filepath": self.filepath}, kwargs)

    def release(self) -> None:
        """Closes this proxy's connection (not the file), dropping what it could not send."""
        if self._ring is not None:
            self._ring.close()
            self._ring = None
        if self._watch is not None:
            self._watch.close()
            self._watch = None
        self.worker.close(linger=0)

    def __enter__(self) -> "hdf5":
        return self

    def __exit__(self, *exc: Any) -> None:
        try:
            self.close(block=True)
        finally:
            if self._ring is not None:
                self._ring.close()
                self._ring = None
            if self._watch is not None:
                self._watch.close()
                self._watch = None
            self.worker.close()
