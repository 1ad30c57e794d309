"""Throwaway redis-server for the examples: 127.0.0.1, a free port, no persistence."""

import shutil
import socket
import subprocess
import tempfile
import time
from typing import Any, Optional


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


class ThrowawayRedis:
    """A redis-server child process that lives as long as the `with` block."""

    def __init__(self, start_timeout: float = 10.0) -> None:
        self.host = "127.0.0.1"
        self.port: Optional[int] = None
        self.proc: "Optional[subprocess.Popen[bytes]]" = None
        self.dir: Optional[str] = None
        self.start_timeout = start_timeout

    @property
    def url(self) -> str:
        return "redis://{}:{}/0".format(self.host, self.port)

    @property
    def pid(self) -> Optional[int]:
        return self.proc.pid if self.proc else None

    def start(self) -> "ThrowawayRedis":
        exe = shutil.which("redis-server")
        if exe is None:
            raise RuntimeError("redis-server is not installed (apt-get install redis-server)")
        self.dir = tempfile.mkdtemp(prefix="quorbel-redis-")
        # A port can be taken between probing and binding; try a few.
        for _ in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen(
                [exe, "--port", str(self.port), "--bind", self.host,
                 "--save", "", "--appendonly", "no", "--dir", self.dir,
                 "--daemonize", "no", "--loglevel", "warning"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            )
            if self._wait_ready():
                return self
            self._end_process()
        self.stop()
        raise RuntimeError("redis-server did not start")

    def _wait_ready(self) -> bool:
        deadline = time.monotonic() + self.start_timeout
        assert self.proc is not None and self.port is not None
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                with socket.create_connection((self.host, self.port), timeout=0.5) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(64).startswith(b"+PONG"):
                        return True
            except OSError:
                pass
            time.sleep(0.05)
        return False

    def _end_process(self) -> None:
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def stop(self) -> None:
        """Ends the server and removes its directory; safe to call twice."""
        self._end_process()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self) -> "ThrowawayRedis":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
