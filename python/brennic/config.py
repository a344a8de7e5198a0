"""The configuration every side reads: ZELT_CONFIG, else /etc/zelt/zelt.ini, else defaults."""
import configparser
import os
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
    source: str = "built-in defaults"


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
    return Config(ip=section["ip"], port=section["port"],
                  reply_timeout_ms=section.getint("reply_timeout_ms", 600000),
                  linger_ms=section.getint("linger_ms", 5000),
                  send_hwm=section.getint("send_hwm", 256),
                  local_socket=section.get("local_socket", ""),
                  local_service_user=section.get("local_service_user", ""),
                  local_slots=section.getint("local_slots", 16),
                  max_message_bytes=section.getint("max_message_bytes", 1 << 30), source=path)
