"""What the Python tests share: a free port on loopback, stopping a service."""
import socket
import subprocess


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(process: subprocess.Popen) -> None:
    """Stops a service in order, or kills it when it does not stop within ten seconds."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class ServiceEnded(AssertionError):
    """The service ended at its start."""


def wait_until_up(process: subprocess.Popen, status, seconds: float = 30) -> dict:
    """Asks ``status`` (the client's hdf5.status) until the service just started answers: a
    client gives up within seconds where nobody answers, and a loaded machine may take longer
    to start it. Fails when the process ends or the time is up."""
    import time
    deadline = time.monotonic() + seconds
    while True:
        try:
            return status()
        except Exception:
            if process.poll() is not None:
                raise ServiceEnded(f"the service ended with {process.returncode} at its start")
            if time.monotonic() > deadline:
                raise


class Started:
    """What a test started: processes stopped in reverse order, then logs closed."""

    def __init__(self):
        self.processes = []
        self.logs = []

    def stop_all(self):
        for process in reversed(self.processes):
            stop(process)
        for log in self.logs:
            log.close()

