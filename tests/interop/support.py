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
