"""The configuration every side reads: ZELT_CONFIG, else /etc/zelt/zelt.ini, else defaults."""
import configparser
import os
import re
from dataclasses import dataclass

SYSTEM_CONFIG = "/etc/zelt/zelt.ini"


@dataclass
class Config:
    """Where the service listens and how long a client waits, from section [corvane]."""

    ip: str = "127.0.0.1"
    port: str = "5555"
    reply_timeout_ms: int = 600000
    linger_ms: int = 5000
    send_hwm: int = 256
    local_socket: str = ""   # "" : /run/brennic/brennic-PORT.sock, as the service; "off": never
    local_service_user: str = ""  # who may serve it (name or uid); "": its directory's owner
    local_slots: int = 16
    max_message_bytes: int = 1 << 30  # the service refuses larger requests
    curve_server_key: str = ""       # [client]: the service's CURVE public key (Z85)
    curve_secret_key_file: str = ""  # [client]: this client's CURVE certificate
    source: str = "built-in defaults"


_Z85 = ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
        ".-:+=^!/*?&<>()[]{}@%$#")


def _is_z85_key(key: str) -> bool:
    return len(key) == 40 and all(c in _Z85 for c in key)


def read_curve_certificate(path: str) -> tuple[str, str]:
    """The public and secret keys of a CURVE certificate in ZeroMQ's format (as
    `brennic-send --keygen` writes it). Raises ValueError naming the file."""
    with open(path, encoding="utf-8") as f:
        text = f.read(64 * 1024)
    keys = dict(re.findall(r'(public|secret)-key\s*=\s*"([^"]*)"', text))
    for kind in ("public", "secret"):
        if not _is_z85_key(keys.get(kind, "")):
            raise ValueError(f'CURVE certificate "{path}": no {kind} key of 40 Z85 characters')
    return keys["public"], keys["secret"]


def read_config(path: str | None = None) -> Config:
    """Reads the INI file at ``path``, ZELT_CONFIG, or /etc/zelt/zelt.ini, as the service does."""
    if path is None:
        path = os.environ.get("ZELT_CONFIG") or (
            SYSTEM_CONFIG if os.path.exists(SYSTEM_CONFIG) else None)
    if path is None:
        return Config()
    parser = configparser.ConfigParser(inline_comment_prefixes=("#", ";"), interpolation=None)
    with open(path, encoding="utf-8") as f:  # a named file that cannot be read is an error
        parser.read_file(f)
    if not parser.has_section("corvane"):
        raise ValueError(f'configuration "{path}": no section [corvane]')
    section = parser["corvane"]
    for key in ("ip", "port"):
        if key not in section:
            raise ValueError(f'configuration "{path}": no entry "{key}" in section [corvane]')
    client = parser["client"] if parser.has_section("client") else {}
    curve = (client.get("curve_server_key", ""), client.get("curve_secret_key_file", ""))
    if any(curve) and not all(curve):
        raise ValueError(f'configuration "{path}": CURVE needs both [client] curve_server_key '
                         "and curve_secret_key_file")
    if curve[0] and not _is_z85_key(curve[0]):
        raise ValueError(f'configuration "{path}": [client] curve_server_key is not 40 '
                         "characters of Z85")
    return Config(curve_server_key=curve[0], curve_secret_key_file=curve[1],
                  ip=section["ip"], port=section["port"],
                  reply_timeout_ms=section.getint("reply_timeout_ms", 600000),
                  linger_ms=section.getint("linger_ms", 5000),
                  send_hwm=section.getint("send_hwm", 256),
                  local_socket=section.get("local_socket", ""),
                  local_service_user=section.get("local_service_user", ""),
                  local_slots=section.getint("local_slots", 16),
                  max_message_bytes=section.getint("max_message_bytes", 1 << 30), source=path)
